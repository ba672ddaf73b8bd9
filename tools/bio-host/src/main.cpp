// bio-host: runs a plug-in inside the stand-in host, prints its bus traffic, logs and watchdog
// misses, and takes bus commands on standard input. With --simulate it runs over the virtual
// sensor.
#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <charconv>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <CLI/CLI.hpp>

#include "ovra/config.h"
#include "ovra/host.h"
#include "ovra/message.h"
#include "ovra/ovra_exception.h"
#include "ovra/post_office.h"
#include "ovra_dal/dal.h"
#include "vsensor/vsensor.h"
#include "bio_common/text.h"

#include "bio_host_paths.h"
#include "command.h"
#include "files.h"
#include "format.h"
#include "ini.h"
#include "simulate.h"

extern char** environ;

namespace bio_host {
namespace {

// The module's identifier id, for the identification switch.
constexpr int bio_identifier_id = 0x62696F00;
constexpr const char* module_section = "bio_module";
constexpr const char* module_name = "bio_module";

// Environment of a simulated run: the private directory that holds the sensor-model file
// (set by the re-executing parent, removed by the child at exit).
constexpr const char* sim_dir_env = "BIO_HOST_SIM_DIR";
constexpr const char* sim_model_file = "fingerprint_reader";
constexpr const char* sim_device_file = "video0";
constexpr const char* sim_timeline_file = "scenario";

// Exit codes.
constexpr int exit_ok = 0;
constexpr int exit_init_failed = 1;
constexpr int exit_setup = 2;
constexpr int exit_run_ended = 3;

// The 19 keys the module reads, in its order; used to warn about gaps in a config file.
const char* const module_keys[] = {"priority",        "watchdog_timeout",
                                   "device_path",     "finger_image_path",
                                   "bsize",           "step",
                                   "img_num",         "min_img_num",
                                   "var_min",         "select_timeout",
                                   "restart_timeout", "finger_detected_delay",
                                   "net_debug_ip",    "net_debug_port",
                                   "net_debug_raw",   "invert",
                                   "fp_reader_path",  "last_fp_reader",
                                   "invert_pixels"};

struct Options {
    std::string plugin;
    std::string db = ":memory:";
    std::string config;
    std::vector<std::string> sets;
    std::string simulate;
    std::string model;
    std::string vsensor;
    double seconds = 0.0;
    bool json = false;
    std::string log_level = "info";
    bool no_reexec = false;
};

// `text` as atoi reads it: leading blanks, an optional sign, then the digits up to the first
// other character; 0 when there are none or they do not fit an int.
int leading_int(const std::string& text) {
    const std::string trimmed = bio_common::trim(text);
    std::string_view digits = trimmed;
    if (!digits.empty() && digits.front() == '+') {
        digits.remove_prefix(1);
        if (!digits.empty() && digits.front() == '-') {
            return 0;
        }
    }
    int value = 0;
    const auto parsed = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    return parsed.ec == std::errc() ? value : 0;
}

// Serialises whole lines from every thread onto standard output.
class Printer {
public:
    explicit Printer(bool json) : json_(json) {}
    bool json() const noexcept { return json_; }

    void emit(const std::string& text, const Json& object) { write(text, object, false); }

    // Writes the transcript's last line: the plug-in's threads go on posting until the process
    // ends, and nothing they send after the summary may follow it.
    void emit_last(const std::string& text, const Json& object) { write(text, object, true); }

private:
    void write(const std::string& text, const Json& object, bool last) {
        std::string line = json_ ? object.dump(-1, ' ', false, Json::error_handler_t::replace) : text;
        line += '\n';
        std::lock_guard<std::mutex> lock(mutex_);
        if (closed_) {
            return;
        }
        closed_ = last;
        std::fwrite(line.data(), 1, line.size(), stdout);
        std::fflush(stdout);
    }

    bool json_;
    std::mutex mutex_;
    bool closed_ = false;  // guarded by mutex_
};

// --simulate, parent side: prepares the private directory (sensor-model file, timeline) and
// executes this program again with the virtual sensor preloaded and configured. Returns only
// on failure, with the reason.
std::string reexec_simulated(const Options& options, int argc, char** argv) {
    SimScenario scenario = parse_sim_scenario(read_text_file(options.simulate));
    if (!options.model.empty()) {
        scenario.model = options.model;
    }
    const std::string here = executable_dir();
    std::vector<std::string> candidates;
    if (!options.vsensor.empty()) {
        candidates.push_back(options.vsensor);
    }
    if (const char* from_env = std::getenv("BIO_VSENSOR_LIB")) {
        candidates.emplace_back(from_env);
    }
    candidates.push_back(here + "/libvsensor.so");
    candidates.push_back(here + "/../../sim/vsensor/libvsensor.so");  // build tree
    candidates.push_back(here + "/../lib/bio_module/libvsensor.so");  // installed package
    candidates.push_back(here + "/../lib/libvsensor.so");
    candidates.push_back(std::string(BIO_HOST_INSTALL_LIBDIR) + "/libvsensor.so");
    const std::string library = first_existing(candidates);
    if (library.empty()) {
        return "cannot find libvsensor.so (looked next to bio-host, in the build tree and in " +
               std::string(BIO_HOST_INSTALL_LIBDIR) + "; give --vsensor PATH)";
    }
    char* real = ::realpath(library.c_str(), nullptr);
    const std::string library_path = real != nullptr ? real : library;
    std::free(real);

    std::string base = "/tmp";
    if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
        base = tmp;
    }
    std::string pattern = base + "/bio-host-sim.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {
        return "cannot create a directory under " + base + ": " + std::strerror(errno);
    }
    const std::string dir = pattern;
    // The model file holds the name exactly, as the sensor's driver publishes it.
    write_text_file(dir + "/" + sim_model_file, scenario.model);
    write_text_file(dir + "/" + sim_timeline_file, scenario.timeline);

    std::vector<std::pair<std::string, std::string>> env{
        {sim_dir_env, dir},
        {"VSENSOR_DEVICE", dir + "/" + sim_device_file},
        {"VSENSOR_SCENARIO", dir + "/" + sim_timeline_file},
    };
    for (const auto& entry : scenario.sensor_env) {
        env.push_back(entry);
    }
    // AddressSanitizer insists on being first in the preload list.
    std::string preload = library_path;
    const std::string asan = loaded_asan_runtime();
    if (!asan.empty()) {
        preload = asan + ":" + preload;
    }
    for (const auto& [name, value] : env) {
        ::setenv(name.c_str(), value.c_str(), 1);
    }

    std::vector<std::string> args;
    const char* emulator = std::getenv("BIO_EMULATOR");
    if (emulator != nullptr && *emulator != '\0') {
        // Under qemu-user the preload belongs to the emulated program, not to qemu itself,
        // and /proc/self/exe names the emulated program.
        args = bio_common::split_words(emulator);
        args.push_back("-E");
        args.push_back("LD_PRELOAD=" + preload);
    } else {
        const char* existing = std::getenv("LD_PRELOAD");
        if (existing != nullptr && *existing != '\0') {
            preload += std::string(":") + existing;
        }
        ::setenv("LD_PRELOAD", preload.c_str(), 1);
    }
    char exe[4096];
    const ssize_t length = ::readlink("/proc/self/exe", exe, sizeof exe - 1);
    if (length <= 0) {
        return std::string("cannot read /proc/self/exe: ") + std::strerror(errno);
    }
    const std::string self(exe, static_cast<std::size_t>(length));
    args.push_back(self);
    for (int i = 1; i < argc; ++i) {
        args.emplace_back(argv[i]);
    }
    std::vector<char*> raw;
    raw.reserve(args.size() + 1);
    for (std::string& arg : args) {
        raw.push_back(arg.data());
    }
    raw.push_back(nullptr);
    if (emulator != nullptr && *emulator != '\0') {
        ::execvp(raw[0], raw.data());
    } else {
        ::execv(self.c_str(), raw.data());
    }
    return "cannot execute " + args.front() + ": " + std::strerror(errno);
}

// Removes the private directory of a simulated run (the files bio-host and the sensor put
// there; the directory is left alone if anything else remains).
void remove_sim_dir(const std::string& dir) {
    if (dir.empty()) {
        return;
    }
    for (const char* name : {sim_model_file, sim_timeline_file, sim_device_file}) {
        ::unlink((dir + "/" + name).c_str());
    }
    ::rmdir(dir.c_str());
}

class Runner {
public:
    explicit Runner(const Options& options) : options_(options), out_(options.json) {}

    int run();

private:
    void seed_configuration();
    void on_bus(const ovra::TapEvent& event);
    void on_log(const ovra::host::LogRecord& record);
    void on_keep_alive(const ovra::host::KeepAlive& keep_alive);
    void read_commands();
    bool execute(const Command& command, Json* extra, std::string* note);
    void send_and_flush(ovra::Message* message);
    void broadcast();
    Tally tally();
    void check_silence(std::chrono::steady_clock::time_point now);
    [[noreturn]] void finish(int code);

    double seconds_since_start(std::chrono::steady_clock::time_point when) const {
        return std::chrono::duration<double>(when - started_).count();
    }

    const Options& options_;
    Printer out_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    ovra::host::LogLevel print_level_ = ovra::host::LogLevel::info;
    bool print_logs_ = true;
    std::string sim_dir_;
    bool simulated_ = false;
    std::string plugin_path_;
    int watchdog_timeout_ms_ = 0;

    std::atomic<bool> enabled_{true};
    std::atomic<std::uint64_t> touches_{0};
    std::atomic<std::uint64_t> finger_detected_{0};
    std::atomic<std::uint64_t> finger_removed_{0};
    std::atomic<std::uint64_t> restarts_{0};
    std::atomic<bool> quit_{false};
    std::atomic<bool> run_ended_{false};

    std::mutex watchdog_mutex_;  // guards the four below
    std::uint64_t keep_alives_ = 0;
    std::uint64_t late_keep_alives_ = 0;
    std::chrono::steady_clock::time_point last_keep_alive_;
    bool silence_reported_ = false;
};

void Runner::seed_configuration() {
    std::vector<IniEntry> entries;
    if (!options_.config.empty()) {
        entries = read_ini_file(options_.config);
    } else if (!options_.simulate.empty()) {
        entries = parse_ini(builtin_desktop_ini, "built-in desktop.ini");
    }
    for (const std::string& assignment : options_.sets) {
        const auto equals = assignment.find('=');
        if (equals == std::string::npos || equals == 0) {
            throw std::runtime_error("--set needs KEY=VALUE or SECTION.KEY=VALUE, got '" + assignment + "'");
        }
        IniEntry entry;
        entry.key = assignment.substr(0, equals);
        entry.value = assignment.substr(equals + 1);
        entry.section = module_section;
        if (const auto dot = entry.key.find('.'); dot != std::string::npos) {
            entry.section = entry.key.substr(0, dot);
            entry.key = entry.key.substr(dot + 1);
        }
        entries.push_back(entry);
    }
    if (simulated_) {
        const char* device = std::getenv("VSENSOR_DEVICE");
        IniEntry path;
        path.section = module_section;
        path.key = "device_path";
        path.value = device != nullptr ? device : vsensor::Config{}.device_path;
        entries.push_back(path);
        path.key = "fp_reader_path";
        path.value = sim_dir_ + "/" + sim_model_file;
        entries.push_back(path);
    }
    for (const IniEntry& entry : entries) {
        ovra::host::seed_param(entry.section, entry.key, entry.value);
    }
    if (!options_.config.empty()) {
        std::string missing;
        for (const char* key : module_keys) {
            if (!ovra::host::peek_param(module_section, key)) {
                missing += std::string(missing.empty() ? "" : ", ") + key;
            }
        }
        if (!missing.empty()) {
            std::fprintf(stderr, "bio-host: %s lacks keys of [%s]: %s\n", options_.config.c_str(),
                         module_section, missing.c_str());
        }
    }
    const auto timeout = ovra::host::peek_param(module_section, "watchdog_timeout");
    if (timeout) {
        watchdog_timeout_ms_ = leading_int(*timeout);
    }
}

void Runner::on_bus(const ovra::TapEvent& event) {
    const ovra::Message& message = *event.message;
    const std::string& type = message.type();
    if (type == "identifier_new_biometric_image") {
        ++touches_;
    } else if (type == "bio_module_finger_detected") {
        ++finger_detected_;
    } else if (type == "bio_module_finger_removed") {
        ++finger_removed_;
    } else if (type == "bio_module_enable") {
        enabled_ = true;
    } else if (type == "bio_module_disable") {
        enabled_ = false;
    } else if (type == "catra_event") {
        int value = 0;
        if (message.get_int("event", &value) != 0 && (value == 11 || value == 12)) {
            enabled_ = value == 11;
        }
    } else if (type == "config_param_set") {
        std::string param;
        std::string value;
        message.get_string("param", &param);
        message.get_string("value", &value);
        if (param == "exception_mode") {
            enabled_ = ovra::config_util::str_to_exception_mode(value) == 0;
        }
    }
    const double seconds = seconds_since_start(event.sent_at);
    // Taps run on the sender's thread: its name tells the capture loop ("bio_module") from
    // the module's consumer thread ("bio_module_run") and from bio-host's own commands.
    char thread[32] = "";
    pthread_getname_np(pthread_self(), thread, sizeof thread);
    out_.emit(bus_line(event.sequence, seconds, message), bus_json(event.sequence, seconds, message, thread));
}

void Runner::on_log(const ovra::host::LogRecord& record) {
    if (record.function == "capture_image" && record.text == "Restarting module..") {
        ++restarts_;
    }
    if (print_logs_ && static_cast<int>(record.level) >= static_cast<int>(print_level_)) {
        out_.emit(log_line(record), log_json(record));
    }
}

void Runner::on_keep_alive(const ovra::host::KeepAlive& keep_alive) {
    if (keep_alive.name != module_name) {
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    long long gap_ms = 0;
    bool late = false;
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        ++keep_alives_;
        gap_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_keep_alive_).count();
        last_keep_alive_ = now;
        silence_reported_ = false;
        late = watchdog_timeout_ms_ > 0 && gap_ms > 2LL * watchdog_timeout_ms_;
        if (late) {
            ++late_keep_alives_;
        }
    }
    if (late) {
        const long long limit = 2LL * watchdog_timeout_ms_;
        out_.emit("watchdog: keep-alive of bio_module came " + std::to_string(gap_ms) +
                      " ms after the previous one (limit " + std::to_string(limit) + " ms)",
                  Json{{"kind", "watchdog"},
                       {"event", "late"},
                       {"name", module_name},
                       {"gap_ms", gap_ms},
                       {"limit_ms", limit}});
    }
}

// Reports, once per silence, a module that has not fed the watchdog for more than twice
// watchdog_timeout (a hung loop would otherwise only show when it recovers).
void Runner::check_silence(std::chrono::steady_clock::time_point now) {
    if (watchdog_timeout_ms_ <= 0 || run_ended_) {
        return;
    }
    long long silent_ms = 0;
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        silent_ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_keep_alive_).count();
        if (silence_reported_ || silent_ms <= 2LL * watchdog_timeout_ms_) {
            return;
        }
        silence_reported_ = true;
    }
    const long long limit = 2LL * watchdog_timeout_ms_;
    out_.emit("watchdog: no keep-alive of bio_module for " + std::to_string(silent_ms) + " ms (limit " +
                  std::to_string(limit) + " ms)",
              Json{{"kind", "watchdog"},
                   {"event", "silent"},
                   {"name", module_name},
                   {"silent_ms", silent_ms},
                   {"limit_ms", limit}});
}

Tally Runner::tally() {
    Tally t;
    t.enabled = enabled_;
    try {
        t.templates = ovra_dal::ovra_dao::count(ovra_dal::bio_template::table_templates(), {});
    } catch (const std::exception&) {
        t.templates = -1;
    }
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        t.keep_alives = keep_alives_;
        t.late_keep_alives = late_keep_alives_;
    }
    if (simulated_) {
        // The preloaded virtual sensor counts the frames the module dequeued.
        using FramesFunction = std::uint64_t (*)();
        void* symbol = ::dlsym(RTLD_DEFAULT, "vsensor_frames_dequeued");
        if (symbol != nullptr) {
            auto frames = reinterpret_cast<FramesFunction>(reinterpret_cast<std::uintptr_t>(symbol));
            t.frames = static_cast<long long>(frames());
        }
    }
    t.touches = touches_;
    t.finger_detected = finger_detected_;
    t.finger_removed = finger_removed_;
    t.restarts = restarts_;
    return t;
}

void Runner::send_and_flush(ovra::Message* message) {
    ovra::PostOffice::send_message(message);
    ovra::PostOffice::flush(std::chrono::seconds(5));
}

void Runner::broadcast() {
    struct Wait {
        std::mutex mutex;
        std::condition_variable done;
        bool replied = false;
    };
    auto wait = std::make_shared<Wait>();
    Printer* out = &out_;
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

// Carries out one command; returns false to stop reading (quit). Facts for the
// acknowledgement go to `extra` (JSON) and `note` (text).
bool Runner::execute(const Command& command, Json* extra, std::string* note) {
    const std::string templates = ovra_dal::bio_template::table_templates().name();
    const std::string users = ovra_dal::user::table_users().name();
    auto rows = [&](const std::string& table) {
        const int count = ovra_dal::ovra_dao::count(ovra_dal::table(table), {});
        (*extra)["rows"] = count;
        *note = table + " " + std::to_string(count);
    };
    switch (command.kind) {
        case CommandKind::none:
            break;
        case CommandKind::help:
            out_.emit(command_help(), Json{{"kind", "help"}, {"text", command_help()}});
            break;
        case CommandKind::enable:
            send_and_flush(new ovra::Message("bio_module_enable", 0, nullptr));
            break;
        case CommandKind::disable:
            send_and_flush(new ovra::Message("bio_module_disable", 0, nullptr));
            break;
        case CommandKind::catra: {
            auto* message = new ovra::Message("catra_event", 0, nullptr);
            message->add_int("event", static_cast<int>(command.number));
            send_and_flush(message);
            break;
        }
        case CommandKind::config:
            ovra::config::set_param(command.section, command.key, command.value, true);
            ovra::PostOffice::flush(std::chrono::seconds(5));
            break;
        case CommandKind::templates_add:
            ovra::host::insert_records(templates, static_cast<int>(command.number));
            ovra::PostOffice::flush(std::chrono::seconds(5));
            rows(templates);
            break;
        case CommandKind::templates_delete:
            (*extra)["deleted"] = ovra::host::delete_records(templates, static_cast<int>(command.number));
            ovra::PostOffice::flush(std::chrono::seconds(5));
            rows(templates);
            break;
        case CommandKind::users_add:
            ovra::host::insert_records(users, static_cast<int>(command.number));
            ovra::PostOffice::flush(std::chrono::seconds(5));
            rows(users);
            break;
        case CommandKind::users_delete:
            (*extra)["deleted"] = ovra::host::delete_records(users, static_cast<int>(command.number));
            ovra::PostOffice::flush(std::chrono::seconds(5));
            rows(users);
            break;
        case CommandKind::identification:
            ovra::host::set_identification_enabled(bio_identifier_id, command.flag);
            break;
        case CommandKind::broadcast:
            broadcast();
            break;
        case CommandKind::status: {
            const Tally t = tally();
            out_.emit(status_line(t), status_json(t));
            break;
        }
        case CommandKind::sleep:
            std::this_thread::sleep_for(std::chrono::milliseconds(command.number));
            break;
        case CommandKind::wait_frames: {
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
            for (;;) {
                const long long frames = tally().frames;
                if (frames < 0) {
                    throw std::runtime_error("frames are only counted over the virtual sensor (--simulate)");
                }
                if (frames >= command.number) {
                    (*extra)["frames"] = frames;
                    break;
                }
                if (std::chrono::steady_clock::now() >= deadline) {
                    throw std::runtime_error("only " + std::to_string(frames) + " frames after 2 min");
                }
                // The sensor's counter has no notification: look again shortly.
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
            break;
        }
        case CommandKind::quit:
            return false;
    }
    return true;
}

// Reads standard input line by line until quit or end of input. The end of input does not
// stop bio-host: it runs on until --seconds, quit or a signal.
void Runner::read_commands() {
    std::string line;
    while (std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        const ParsedCommand parsed = parse_command(line);
        if (parsed.ok && parsed.command.kind == CommandKind::none) {
            continue;
        }
        Json ack{{"kind", "ack"}, {"command", line}};
        if (!parsed.ok) {
            ack["ok"] = false;
            ack["error"] = parsed.error;
            out_.emit("error: " + parsed.error, ack);
            continue;
        }
        Json extra = Json::object();
        std::string note;
        bool go_on = true;
        try {
            go_on = execute(parsed.command, &extra, &note);
        } catch (const std::exception& e) {
            ack["ok"] = false;
            ack["error"] = e.what();
            out_.emit("error: " + line + ": " + e.what(), ack);
            continue;
        }
        ack["ok"] = true;
        for (auto& [key, value] : extra.items()) {
            ack[key] = value;
        }
        out_.emit("ok: " + line + (note.empty() ? "" : " (" + note + ")"), ack);
        if (!go_on) {
            quit_ = true;
            return;
        }
    }
}

// Leaves the process. The plug-in's capture loop never returns and its consumer thread never
// ends, and both may be inside the host framework at any moment: running static destructors
// (exit) would tear the framework down under them. So the bus is drained, the summary printed,
// standard output flushed, and the process ends with _Exit, which runs no destructor and no
// atexit handler.
void Runner::finish(int code) {
    ovra::PostOffice::flush(std::chrono::seconds(2));
    const Tally t = tally();
    out_.emit_last(summary_line(t), summary_json(t));
    std::fflush(stdout);
    std::fflush(stderr);
    if (simulated_ && std::getenv(sim_dir_env) != nullptr) {
        remove_sim_dir(sim_dir_);
    }
    std::_Exit(code);
}

int Runner::run() {
    if (options_.log_level == "none") {
        print_logs_ = false;
    } else if (options_.log_level == "debug") {
        print_level_ = ovra::host::LogLevel::debug;
    } else if (options_.log_level == "error") {
        print_level_ = ovra::host::LogLevel::error;
    }

    simulated_ = !options_.simulate.empty();
    if (simulated_) {
        const char* dir = std::getenv(sim_dir_env);
        if (dir != nullptr) {
            sim_dir_ = dir;
        } else {
            // --no-reexec: the caller preloaded and configured the sensor; bio-host still
            // provides the sensor-model file.
            SimScenario scenario = parse_sim_scenario(read_text_file(options_.simulate));
            if (!options_.model.empty()) {
                scenario.model = options_.model;
            }
            std::string pattern = "/tmp/bio-host-sim.XXXXXX";
            if (const char* tmp = std::getenv("TMPDIR"); tmp != nullptr && *tmp != '\0') {
                pattern = std::string(tmp) + "/bio-host-sim.XXXXXX";
            }
            if (::mkdtemp(pattern.data()) == nullptr) {
                throw std::runtime_error("cannot create " + pattern + ": " + std::strerror(errno));
            }
            sim_dir_ = pattern;
            write_text_file(sim_dir_ + "/" + sim_model_file, scenario.model);
            ::setenv(sim_dir_env, sim_dir_.c_str(), 1);
        }
    }

    // Every record reaches bio-host's sink, which prints those at the chosen level and
    // counts camera restarts from the debug records.
    ovra::host::set_log_level(ovra::host::LogLevel::debug);
    ovra::host::add_log_sink([this](const ovra::host::LogRecord& record) { on_log(record); });

    ovra::host::open_database(options_.db);
    seed_configuration();
    if (!ovra::host::peek_param(module_section, "watchdog_timeout") && options_.config.empty()) {
        std::fprintf(stderr, "bio-host: the database has no [%s] configuration; give --config FILE\n",
                     module_section);
    }

    ovra::PostOffice::add_tap([this](const ovra::TapEvent& event) { on_bus(event); });
    ovra::host::add_watchdog_observer([this](const ovra::host::KeepAlive& k) { on_keep_alive(k); });

    // Look for the plug-in: next to bio-host, in the build tree, then where it is installed.
    if (!options_.plugin.empty()) {
        plugin_path_ = options_.plugin;
    } else {
        const std::string here = executable_dir();
        plugin_path_ =
            first_existing({here + "/libbio_module.so", here + "/../../bio_module/libbio_module.so",
                            std::string(BIO_HOST_INSTALL_LIBDIR) + "/ovra/plugins/libbio_module.so",
                            "/usr/lib/ovra/plugins/libbio_module.so"});
        if (plugin_path_.empty()) {
            std::fprintf(stderr, "bio-host: cannot find libbio_module.so; give --plugin PATH\n");
            return exit_setup;
        }
    }

    static ovra::host::PluginHost host;  // never destroyed: the process ends with _Exit
    std::string error;
    if (!host.load(plugin_path_, &error)) {
        // The loader prefixes the plug-in's own text with "plugin PATH: init failed: ".
        const std::string prefix = "plugin " + plugin_path_ + ": init failed: ";
        const bool init_failed = error.compare(0, prefix.size(), prefix) == 0;
        const std::string text = init_failed ? error.substr(prefix.size()) : error;
        out_.emit(std::string(init_failed ? "init failed: " : "load failed: ") + text,
                  Json{{"kind", init_failed ? "init_failed" : "load_failed"}, {"error", text}});
        std::fflush(stdout);
        if (simulated_) {
            remove_sim_dir(sim_dir_);
        }
        std::_Exit(exit_init_failed);
    }
    host.on_exit([this](const std::string& what) {
        run_ended_ = true;
        out_.emit("run ended: " + what, Json{{"kind", "run_ended"}, {"error", what}});
    });
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        last_keep_alive_ = std::chrono::steady_clock::now();
    }
    if (!host.start()) {
        out_.emit("load failed: the plug-in registered no run function",
                  Json{{"kind", "load_failed"}, {"error", "no run function"}});
        std::fflush(stdout);
        std::_Exit(exit_init_failed);
    }
    Json started{{"kind", "started"},
                 {"plugin", plugin_path_},
                 {"name", host.plugin().name()},
                 {"listeners", host.plugin().listeners().size()},
                 {"simulated", simulated_}};
    std::string text = "started: " + host.plugin().name() + " from " + plugin_path_;
    if (simulated_) {
        started["sim_dir"] = sim_dir_;
        text += " over the virtual sensor (" + sim_dir_ + ")";
    }
    out_.emit(text, started);

    std::thread([this] { read_commands(); }).detach();

    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    const auto deadline = started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(options_.seconds));
    for (;;) {
        timespec slice{0, 100 * 1000 * 1000};
        const int signal = ::sigtimedwait(&stop_signals, nullptr, &slice);
        if (signal == SIGINT || signal == SIGTERM) {
            out_.emit(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"),
                      Json{{"kind", "stopping"}, {"reason", signal == SIGINT ? "SIGINT" : "SIGTERM"}});
            finish(exit_ok);
        }
        const auto now = std::chrono::steady_clock::now();
        if (run_ended_) {
            finish(exit_run_ended);
        }
        if (quit_) {
            out_.emit("stopping on quit", Json{{"kind", "stopping"}, {"reason", "quit"}});
            finish(exit_ok);
        }
        if (options_.seconds > 0 && now >= deadline) {
            out_.emit("stopping after " + std::to_string(options_.seconds) + " s",
                      Json{{"kind", "stopping"}, {"reason", "seconds"}});
            finish(exit_ok);
        }
        check_silence(now);
    }
}

}  // namespace
}  // namespace bio_host

int main(int argc, char** argv) {
    using namespace bio_host;
    Options options;
    CLI::App app{
        "Runs a plug-in (libbio_module.so) inside the stand-in host: prints every bus message, the log "
        "records and late watchdog keep-alives, and takes bus commands on standard input (type help).",
        "bio-host"};
    app.add_option("--plugin", options.plugin,
                   "plug-in to load (default: libbio_module.so next to bio-host, "
                   "in the build tree, or the installed one)");
    app.add_option("--db", options.db,
                   "SQLite database of the host, created when absent (default: in memory)");
    app.add_option("--config", options.config,
                   "INI file whose sections are written into the configuration store")
        ->check(CLI::ExistingFile);
    app.add_option("--set", options.sets,
                   "KEY=VALUE or SECTION.KEY=VALUE written after --config (repeatable)");
    app.add_option("--simulate", options.simulate, "run over the virtual sensor with this scenario file")
        ->check(CLI::ExistingFile);
    app.add_option("--model", options.model,
                   "sensor model the virtual reader reports (overrides the scenario)");
    app.add_option("--vsensor", options.vsensor, "path of libvsensor.so (default: found next to bio-host)");
    app.add_option("--seconds", options.seconds,
                   "stop after this many seconds (default: run until quit or a signal)")
        ->check(CLI::NonNegativeNumber);
    app.add_flag("--json", options.json, "print JSON lines instead of text lines");
    app.add_option("--log-level", options.log_level,
                   "log records to print: debug, info, error or none (default info)")
        ->check(CLI::IsMember({"debug", "info", "error", "none"}));
    app.add_flag("--no-reexec", options.no_reexec,
                 "with --simulate: the caller has preloaded and configured the virtual sensor already");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // --help prints and ends with 0; every usage error ends with 2.
        return app.exit(e) == 0 ? 0 : 2;
    }

    try {
        if (!options.simulate.empty() && !options.no_reexec && std::getenv("BIO_HOST_SIM_DIR") == nullptr) {
            const std::string why = reexec_simulated(options, argc, argv);
            std::fprintf(stderr, "bio-host: %s\n", why.c_str());
            return 2;
        }
        // SIGINT and SIGTERM are taken by the main loop with sigtimedwait; every thread started
        // from here on (the plug-in's included) inherits the blocked mask.
        sigset_t stop_signals;
        sigemptyset(&stop_signals);
        sigaddset(&stop_signals, SIGINT);
        sigaddset(&stop_signals, SIGTERM);
        pthread_sigmask(SIG_BLOCK, &stop_signals, nullptr);
        ::signal(SIGPIPE, SIG_IGN);
        static Runner runner(options);
        return runner.run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "bio-host: %s\n", e.what());
        std::fflush(stdout);
        std::_Exit(2);
    }
}
