// Parser of bio-host's standard-input commands.
#include "command.h"

#include <climits>
#include <optional>
#include <string_view>
#include <vector>

#include "bio_common/text.h"

namespace bio_host {
namespace {

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

// Parses a whole word as a decimal integer within [low, high].
bool parse_number(const std::string& word, long long low, long long high, long long* out) {
    const std::optional<long long> value = parse_decimal(word);
    if (!value || *value < low || *value > high) {
        return false;
    }
    *out = *value;
    return true;
}

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

constexpr long long max_rows = 1000000;
constexpr long long max_sleep_ms = 600000;

// "templates add N" and the like.
ParsedCommand parse_rows(const std::vector<std::string>& words, CommandKind add, CommandKind remove) {
    const std::string usage = "usage: " + words[0] + " add|delete N";
    if (words.size() != 3) {
        return fail(usage);
    }
    Command command;
    if (words[1] == "add") {
        command.kind = add;
    } else if (words[1] == "delete") {
        command.kind = remove;
    } else {
        return fail(usage);
    }
    if (!parse_number(words[2], 1, max_rows, &command.number)) {
        return fail(words[0] + ": N must be a whole number from 1 to " + std::to_string(max_rows));
    }
    return done(command);
}

ParsedCommand parse_config(const std::string& line) {
    // config KEY VALUE...: the value is the rest of the line, blanks inside it kept.
    std::size_t pos = line.find("config");
    pos = line.find_first_not_of(" \t", pos + 6);
    if (pos == std::string::npos) {
        return fail("usage: config KEY VALUE");
    }
    const std::size_t key_end = line.find_first_of(" \t", pos);
    Command command;
    command.kind = CommandKind::config;
    std::string key = line.substr(pos, key_end == std::string::npos ? std::string::npos : key_end - pos);
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
    if (value == "\"\"") {
        value.clear();
    }
    const std::size_t dot = key.find('.');
    command.section = "bio_module";
    if (dot != std::string::npos) {
        command.section = key.substr(0, dot);
        key = key.substr(dot + 1);
        if (command.section.empty() || key.empty()) {
            return fail("config: KEY is NAME or SECTION.NAME");
        }
    }
    command.key = key;
    command.value = value;
    return done(command);
}

}  // namespace

ParsedCommand parse_command(const std::string& line) {
    const std::vector<std::string> words = bio_common::split_words(line);
    if (words.empty() || words[0][0] == '#') {
        return done(Command{});
    }
    const std::string& verb = words[0];
    auto simple = [&](CommandKind kind) {
        if (words.size() != 1) {
            return fail(verb + " takes no argument");
        }
        Command command;
        command.kind = kind;
        return done(command);
    };
    if (verb == "help") {
        return simple(CommandKind::help);
    }
    if (verb == "enable") {
        return simple(CommandKind::enable);
    }
    if (verb == "disable") {
        return simple(CommandKind::disable);
    }
    if (verb == "broadcast") {
        return simple(CommandKind::broadcast);
    }
    if (verb == "status") {
        return simple(CommandKind::status);
    }
    if (verb == "quit" || verb == "exit") {
        return simple(CommandKind::quit);
    }
    if (verb == "catra") {
        Command command;
        command.kind = CommandKind::catra;
        if (words.size() != 2 || !parse_number(words[1], INT_MIN, INT_MAX, &command.number)) {
            return fail("usage: catra N (N an int: 11 enables, 12 disables)");
        }
        return done(command);
    }
    if (verb == "sleep") {
        Command command;
        command.kind = CommandKind::sleep;
        if (words.size() != 2 || !parse_number(words[1], 0, max_sleep_ms, &command.number)) {
            return fail("usage: sleep MS (0 to " + std::to_string(max_sleep_ms) + ")");
        }
        return done(command);
    }
    if (verb == "wait") {
        Command command;
        command.kind = CommandKind::wait_frames;
        if (words.size() != 3 || words[1] != "frames" ||
            !parse_number(words[2], 1, 1000000000, &command.number)) {
            return fail("usage: wait frames N");
        }
        return done(command);
    }
    if (verb == "identification") {
        Command command;
        command.kind = CommandKind::identification;
        if (words.size() == 2 && (words[1] == "on" || words[1] == "off")) {
            command.flag = words[1] == "on";
            return done(command);
        }
        return fail("usage: identification on|off");
    }
    if (verb == "templates") {
        return parse_rows(words, CommandKind::templates_add, CommandKind::templates_delete);
    }
    if (verb == "users") {
        return parse_rows(words, CommandKind::users_add, CommandKind::users_delete);
    }
    if (verb == "config") {
        return parse_config(line);
    }
    return fail("unknown command '" + verb + "' (type help)");
}

const char* command_help() {
    return "commands (one a line):\n"
           "  enable                 send bio_module_enable\n"
           "  disable                send bio_module_disable\n"
           "  catra N                send catra_event with event N (11 enables, 12 disables)\n"
           "  config KEY VALUE       set KEY (or SECTION.KEY; default section bio_module) through the\n"
           "                         configuration store, which announces config_param_set;\n"
           "                         \"\" is the empty value (example: config exception_mode normal)\n"
           "  templates add N        insert N rows into the templates table\n"
           "  templates delete N     delete up to N rows of the templates table (oldest first)\n"
           "  users add N            insert N rows into the users table\n"
           "  users delete N         delete up to N rows of the users table\n"
           "  identification on|off  switch identification by the module on or off\n"
           "  broadcast              send identifier_broadcast_identifier_id and print the reply\n"
           "  status                 enabled flag as seen on the bus, template count, keep-alives, frames\n"
           "  sleep MS               wait before the next command (for scripts)\n"
           "  wait frames N          wait until the virtual sensor has delivered N frames (at most 2 min)\n"
           "  help                   this text\n"
           "  quit                   stop, print the summary and leave\n";
}

}  // namespace bio_host
