// bio-host's standard-input commands: the table, its parser, and what each command does.
#include "command.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <istream>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "ovra/config.h"
#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"
#include "bio_common/text.h"
#include "ini.h"

namespace bio_host {
namespace {

constexpr int bio_identifier_id = 0x62696F00;  // the module's, for the identification switch
constexpr long long max_rows = 1000000;
constexpr std::size_t help_column = 25;  // where the help texts begin

// The syntaxes of the table, with the refusals of lines that miss them.
constexpr CommandSyntax no_arguments{CommandSyntax::none, 0, 0, nullptr, nullptr};
constexpr CommandSyntax key_value{CommandSyntax::key_value, 0, 0, nullptr, nullptr};
constexpr CommandSyntax on_off{CommandSyntax::on_off, 0, 0, "usage: identification on|off", nullptr};
constexpr CommandSyntax event_number{CommandSyntax::number, INT_MIN, INT_MAX,
                                     "usage: catra N (N an int: 11 enables, 12 disables)", nullptr};
constexpr CommandSyntax milliseconds{CommandSyntax::number, 0, 600000, "usage: sleep MS (0 to 600000)",
                                     nullptr};
constexpr CommandSyntax frame_count{CommandSyntax::number, 1, 1000000000, "usage: wait frames N", nullptr};
constexpr CommandSyntax template_rows{CommandSyntax::number, 1, max_rows, "usage: templates add|delete N",
                                      "templates: N must be a whole number from 1 to 1000000"};
constexpr CommandSyntax user_rows{CommandSyntax::number, 1, max_rows, "usage: users add|delete N",
                                  "users: N must be a whole number from 1 to 1000000"};

// ---- what the commands do ----

// Waits until the bus has delivered everything sent so far.
void flush_bus() {
    ovra::PostOffice::flush(std::chrono::seconds(5));
}

void send_and_flush(ovra::Message* message) {
    ovra::PostOffice::send_message(message);
    flush_bus();
}

void show_help(const Command&, CommandSession& session, CommandAck&) {
    const std::string help = command_help();
    session.emit(help, Json{{"kind", "help"}, {"text", help}});
}

void enable(const Command&, CommandSession&, CommandAck&) {
    send_and_flush(new ovra::Message("bio_module_enable", 0, nullptr));
}

void disable(const Command&, CommandSession&, CommandAck&) {
    send_and_flush(new ovra::Message("bio_module_disable", 0, nullptr));
}

void catra(const Command& command, CommandSession&, CommandAck&) {
    auto* message = new ovra::Message("catra_event", 0, nullptr);
    message->add_int("event", static_cast<int>(command.number));
    send_and_flush(message);
}

void set_config(const Command& command, CommandSession&, CommandAck&) {
    ovra::config::set_param(command.section, command.key, command.value, true);
    flush_bus();
}

// The rows of `table` now, for the acknowledgement.
void count_rows(const std::string& table, CommandAck& ack) {
    const int count = ovra_dal::ovra_dao::count(ovra_dal::table(table), {});
    ack.extra["rows"] = count;
    ack.note = table + " " + std::to_string(count);
}

// Inserts `command.number` rows into the table, as one bus message.
template <const ovra_dal::table& (*table)()>
void add_rows(const Command& command, CommandSession&, CommandAck& ack) {
    ovra::host::insert_records(table().name(), static_cast<int>(command.number));
    flush_bus();
    count_rows(table().name(), ack);
}

// Deletes up to `command.number` rows of the table (oldest first), as one bus message.
template <const ovra_dal::table& (*table)()>
void delete_rows(const Command& command, CommandSession&, CommandAck& ack) {
    ack.extra["deleted"] = ovra::host::delete_records(table().name(), static_cast<int>(command.number));
    flush_bus();
    count_rows(table().name(), ack);
}

constexpr auto templates = ovra_dal::bio_template::table_templates;
constexpr auto users = ovra_dal::user::table_users;

void identification(const Command& command, CommandSession&, CommandAck&) {
    ovra::host::set_identification_enabled(bio_identifier_id, command.flag);
}

// Sends the broadcast with a reply holding count 0, prints the reply when the module has
// filled it in, and waits for that at most 5 s.
void broadcast(const Command&, CommandSession& session, CommandAck&) {
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool replied = false;
    };
    auto wait = std::make_shared<Wait>();
    CommandSession* out = &session;
    auto* message =
        new ovra::Message("identifier_broadcast_identifier_id", 0, [wait, out](const ovra::Message& reply) {
            const std::string fields = fields_text(reply);
            out->emit("reply identifier_broadcast_identifier_id" + (fields.empty() ? "" : " " + fields),
                      Json{{"kind", "reply"},
                           {"type", "identifier_broadcast_identifier_id"},
                           {"fields", fields_json(reply)}});
            std::lock_guard<std::mutex> lock(wait->mutex);
            wait->replied = true;
            wait->done.notify_all();
        });
    if (message->reply() != nullptr) {
        message->reply()->add_int("count", 0);
    }
    ovra::PostOffice::send_message(message);
    std::unique_lock<std::mutex> lock(wait->mutex);
    if (!wait->done.wait_for(lock, std::chrono::seconds(5), [&] { return wait->replied; })) {
        throw std::runtime_error("no reply to the broadcast within 5 s");
    }
}

void status(const Command&, CommandSession& session, CommandAck&) {
    const Tally tally = session.tally();
    session.emit(status_line(tally), status_json(tally));
}

void pause(const Command& command, CommandSession&, CommandAck&) {
    std::this_thread::sleep_for(std::chrono::milliseconds(command.number));
}

// Waits until the virtual sensor has delivered `command.number` frames, at most 2 min.
void wait_frames(const Command& command, CommandSession& session, CommandAck& ack) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    for (;;) {
        const long long frames = session.tally().frames;
        if (frames < 0) {
            throw std::runtime_error("frames are only counted over the virtual sensor (--simulate)");
        }
        if (frames >= command.number) {
            ack.extra["frames"] = frames;
            return;
        }
        if (std::chrono::steady_clock::now() >= deadline) {
            throw std::runtime_error("only " + std::to_string(frames) + " frames after 2 min");
        }
        // The sensor's counter has no notification: look again shortly.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

void quit(const Command&, CommandSession&, CommandAck& ack) {
    ack.stop = true;
}

// Every command, in the order help lists them.
const CommandRow command_table[] = {
    {"enable", "", "send bio_module_enable", no_arguments, enable},
    {"disable", "", "send bio_module_disable", no_arguments, disable},
    {"catra", "N", "send catra_event with event N (11 enables, 12 disables)", event_number, catra},
    {"config", "KEY VALUE",
     "set KEY (or SECTION.KEY; default section bio_module) through the\n"
     "configuration store, which announces config_param_set;\n"
     "\"\" is the empty value (example: config exception_mode normal)",
     key_value, set_config},
    {"templates add", "N", "insert N rows into the templates table", template_rows, add_rows<templates>},
    {"templates delete", "N", "delete up to N rows of the templates table (oldest first)", template_rows,
     delete_rows<templates>},
    {"users add", "N", "insert N rows into the users table", user_rows, add_rows<users>},
    {"users delete", "N", "delete up to N rows of the users table", user_rows, delete_rows<users>},
    {"identification", "on|off", "switch identification by the module on or off", on_off, identification},
    {"broadcast", "", "send identifier_broadcast_identifier_id and print the reply", no_arguments, broadcast},
    {"status", "", "enabled flag as seen on the bus, template count, keep-alives, frames", no_arguments,
     status},
    {"sleep", "MS", "wait before the next command (for scripts)", milliseconds, pause},
    {"wait frames", "N", "wait until the virtual sensor has delivered N frames (at most 2 min)", frame_count,
     wait_frames},
    {"help", "", "this text", no_arguments, show_help},
    {"quit", "", "stop, print the summary and leave", no_arguments, quit},
    {"exit", "", nullptr, no_arguments, quit},
};

// ---- parsing ----

ParsedCommand fail(const std::string& text) {
    ParsedCommand parsed;
    parsed.error = text;
    return parsed;
}

ParsedCommand done(Command command) {
    ParsedCommand parsed;
    parsed.ok = true;
    parsed.command = std::move(command);
    return parsed;
}

// `word` as strtoll reads a whole word in base 10: an optional '+' or '-', then digits.
std::optional<long long> parse_decimal(std::string_view word) {
    if (!word.empty() && word.front() == '+') {
        word.remove_prefix(1);
        if (!word.empty() && word.front() == '-') {
            return std::nullopt;
        }
    }
    return bio_common::parse_integer<long long>(word);
}

// config KEY VALUE...: the value is the rest of the line, blanks inside it kept.
ParsedCommand parse_config(const std::string& line) {
    std::size_t pos = line.find("config");
    pos = line.find_first_not_of(" \t", pos + 6);
    if (pos == std::string::npos) {
        return fail("usage: config KEY VALUE");
    }
    const std::size_t key_end = line.find_first_of(" \t", pos);
    const std::string name =
        line.substr(pos, key_end == std::string::npos ? std::string::npos : key_end - pos);
    std::string value;
    if (key_end != std::string::npos) {
        const std::size_t value_begin = line.find_first_not_of(" \t", key_end);
        if (value_begin != std::string::npos) {
            const std::size_t value_end = line.find_last_not_of(" \t\r");
            value = line.substr(value_begin, value_end - value_begin + 1);
        }
    }
    if (value.empty()) {
        return fail("usage: config KEY VALUE (\"\" for an empty value)");
    }
    const IniEntry address = section_and_key(name, "bio_module");
    if (address.section.empty() || address.key.empty()) {
        return fail("config: KEY is NAME or SECTION.NAME");
    }
    Command command;
    command.section = address.section;
    command.key = address.key;
    command.value = value == "\"\"" ? "" : value;
    return done(command);
}

// Reads the words after `row`'s name (the first `skip` words of `words`) by its syntax.
ParsedCommand parse_arguments(const CommandRow& row, const std::vector<std::string>& words, std::size_t skip,
                              const std::string& line) {
    const CommandSyntax& syntax = row.syntax;
    const std::size_t given = words.size() - skip;
    ParsedCommand parsed = done(Command{});
    if (syntax.arguments == CommandSyntax::none && given != 0) {
        return fail(words[0] + " takes no argument");
    }
    if (syntax.arguments == CommandSyntax::number) {
        if (given != 1) {
            return fail(syntax.usage);
        }
        const std::optional<long long> value = parse_decimal(words.back());
        if (!value || *value < syntax.low || *value > syntax.high) {
            return fail(syntax.range != nullptr ? syntax.range : syntax.usage);
        }
        parsed.command.number = *value;
    }
    if (syntax.arguments == CommandSyntax::on_off) {
        if (given != 1 || (words.back() != "on" && words.back() != "off")) {
            return fail(syntax.usage);
        }
        parsed.command.flag = words.back() == "on";
    }
    if (syntax.arguments == CommandSyntax::key_value) {
        parsed = parse_config(line);
    }
    parsed.command.row = &row;
    return parsed;
}

// Parses, carries out and acknowledges one line; false after quit.
bool answer(const std::string& line, CommandSession& session) {
    const ParsedCommand parsed = parse_command(line);
    if (parsed.ok && parsed.command.row == nullptr) {
        return true;
    }
    Json ack{{"kind", "ack"}, {"command", line}};
    if (!parsed.ok) {
        ack["ok"] = false;
        ack["error"] = parsed.error;
        session.emit("error: " + parsed.error, ack);
        return true;
    }
    CommandAck result;
    try {
        parsed.command.row->execute(parsed.command, session, result);
    } catch (const std::exception& e) {
        ack["ok"] = false;
        ack["error"] = e.what();
        session.emit("error: " + line + ": " + e.what(), ack);
        return true;
    }
    ack["ok"] = true;
    for (auto& [key, value] : result.extra.items()) {
        ack[key] = value;
    }
    session.emit("ok: " + line + (result.note.empty() ? "" : " (" + result.note + ")"), ack);
    return !result.stop;
}

}  // namespace

std::string Command::name() const {
    return row != nullptr ? row->name : "";
}

ParsedCommand parse_command(const std::string& line) {
    const std::vector<std::string> words = bio_common::split_words(line);
    if (words.empty() || words[0][0] == '#') {
        return done(Command{});
    }
    const CommandRow* verb = nullptr;  // the first row of a two-word name that starts so
    for (const CommandRow& row : command_table) {
        const std::string_view name = row.name;
        const std::size_t blank = name.find(' ');
        if (name.substr(0, blank) != words[0]) {
            continue;
        }
        if (blank == std::string_view::npos) {
            return parse_arguments(row, words, 1, line);
        }
        if (words.size() > 1 && name.substr(blank + 1) == words[1]) {
            return parse_arguments(row, words, 2, line);
        }
        verb = verb != nullptr ? verb : &row;
    }
    if (verb != nullptr) {
        return fail(verb->syntax.usage);
    }
    return fail("unknown command '" + words[0] + "' (type help)");
}

std::string command_help() {
    std::string help = "commands (one a line):\n";
    for (const CommandRow& row : command_table) {
        if (row.help == nullptr) {
            continue;
        }
        std::string left = std::string("  ") + row.name + (*row.shown != '\0' ? " " : "") + row.shown;
        left.resize(std::max(left.size(), help_column), ' ');
        help += left;
        for (const char* c = row.help; *c != '\0'; ++c) {
            help += *c;
            if (*c == '\n') {
                help += std::string(help_column, ' ');
            }
        }
        help += '\n';
    }
    return help;
}

bool read_commands(std::istream& in, CommandSession& session) {
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        if (!answer(line, session)) {
            return true;
        }
    }
    return false;
}

}  // namespace bio_host
