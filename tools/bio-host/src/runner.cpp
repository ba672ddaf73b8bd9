// The run of one plug-in inside the stand-in host, from the configuration store to the summary.
#include "runner.h"

#include <dlfcn.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string_view>
#include <thread>
#include <vector>

#include "ovra/config.h"
#include "ovra/message.h"
#include "ovra_dal/dal.h"
#include "bio_common/cli.h"
#include "bio_common/config_keys.h"
#include "bio_common/text.h"

#include "bio_host_paths.h"
#include "ini.h"
#include "probe.h"
#include "simulate.h"

namespace bio_host {
namespace {

using bio_common::module_section;
using bio_common::cli::UsageError;
constexpr const char* module_name = "bio_module";
// The keys bio-host reads or sets itself (checked against the table when compiled).
constexpr const char* device_path_key = bio_common::module_key("device_path");
constexpr const char* fp_reader_path_key = bio_common::module_key("fp_reader_path");
constexpr const char* watchdog_timeout_key = bio_common::module_key("watchdog_timeout");

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

// Tells on standard error which of the module's keys the store lacks after `file`: the
// module would refuse to start.
void warn_missing_keys(const std::string& file) {
    std::string missing;
    for (const bio_common::ConfigKey& key : bio_common::module_keys) {
        if (!ovra::host::peek_param(module_section, key.name)) {
            missing += std::string(missing.empty() ? "" : ", ") + key.name;
        }
    }
    if (!missing.empty()) {
        std::fprintf(stderr, "bio-host: %s lacks keys of [%s]: %s\n", file.c_str(), module_section,
                     missing.c_str());
    }
}

// libbio_module.so next to bio-host, in the build tree, then where it is installed; empty
// when there is none.
std::string find_plugin() {
    const std::string here = executable_dir();
    return first_existing({here + "/libbio_module.so", here + "/../../bio_module/libbio_module.so",
                           std::string(BIO_HOST_INSTALL_LIBDIR) + "/ovra/plugins/libbio_module.so",
                           "/usr/lib/ovra/plugins/libbio_module.so"});
}

}  // namespace

void Printer::write(const std::string& text, const Json& object, bool last) {
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

Runner::Runner(const Options& options)
    : options_(options), out_(options.json), simulated_(!options.simulate.empty()) {
    if (options_.log_level == "none") {
        print_logs_ = false;
    } else if (options_.log_level == "debug") {
        print_level_ = ovra::host::LogLevel::debug;
    } else if (options_.log_level == "error") {
        print_level_ = ovra::host::LogLevel::error;
    }
}

// The configuration file (or, with --simulate, the built-in desktop one), then each --set. Raises
// UsageError, naming the file and line or the --set, for a malformed entry or one whose section or
// key the module does not read.
std::vector<IniEntry> Runner::read_configuration() const {
    std::vector<IniEntry> entries;
    try {
        if (!options_.config.empty()) {
            entries = read_ini_file(options_.config);
        } else if (simulated_) {
            entries = parse_ini(builtin_desktop_ini, "built-in desktop.ini");
        }
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    for (const IniEntry& entry : entries) {
        try {
            check_known_key(entry);
        } catch (const std::invalid_argument& e) {
            throw UsageError(options_.config + ":" + std::to_string(entry.line) + ": " + e.what());
        }
    }
    for (const std::string& assignment : options_.sets) {
        try {
            entries.push_back(parse_set(assignment, module_section));
            check_known_key(entries.back());
        } catch (const std::exception& e) {
            throw UsageError("--set " + assignment + ": " + e.what());
        }
    }
    return entries;
}

// Writes the configuration `entries`, then the virtual sensor's paths into the store.
void Runner::seed_configuration(const SimSensor& sensor, std::vector<IniEntry> entries) {
    if (simulated_) {
        entries.push_back({module_section, device_path_key, sensor.device_path, 0});
        entries.push_back({module_section, fp_reader_path_key, sensor.model_path, 0});
    }
    for (const IniEntry& entry : entries) {
        ovra::host::seed_param(entry.section, entry.key, entry.value);
    }
    if (!options_.config.empty()) {
        warn_missing_keys(options_.config);
    }
    if (const auto timeout = ovra::host::peek_param(module_section, watchdog_timeout_key)) {
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
    WatchdogReport report{true, 0, 2LL * watchdog_timeout_ms_};
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        ++keep_alives_;
        report.ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_keep_alive_).count();
        last_keep_alive_ = now;
        silence_reported_ = false;
        if (watchdog_timeout_ms_ <= 0 || report.ms <= report.limit_ms) {
            return;
        }
        ++late_keep_alives_;
    }
    out_.emit(watchdog_line(report), watchdog_json(report));
}

// Reports, once per silence, a module that has not fed the watchdog for more than twice
// watchdog_timeout (a hung loop would otherwise only show when it recovers).
void Runner::check_silence(std::chrono::steady_clock::time_point now) {
    if (watchdog_timeout_ms_ <= 0 || run_ended_) {
        return;
    }
    WatchdogReport report{false, 0, 2LL * watchdog_timeout_ms_};
    {
        std::lock_guard<std::mutex> lock(watchdog_mutex_);
        report.ms = std::chrono::duration_cast<std::chrono::milliseconds>(now - last_keep_alive_).count();
        if (silence_reported_ || report.ms <= report.limit_ms) {
            return;
        }
        silence_reported_ = true;
    }
    out_.emit(watchdog_line(report), watchdog_json(report));
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
        t.frames = sensor_frames_dequeued();  // the frames the module dequeued
    }
    t.touches = touches_;
    t.finger_detected = finger_detected_;
    t.finger_removed = finger_removed_;
    t.restarts = restarts_;
    return t;
}

// Loads the plug-in (its init runs), starts its run and prints the started line. A plug-in
// that fails to load ends the process with exit_failure.
void Runner::start_plugin() {
    static ovra::host::PluginHost host;  // never destroyed: the process ends with _Exit
    std::string error;
    if (!host.load(plugin_path_, &error)) {
        // The loader prefixes the plug-in's own text with "plugin PATH: init failed: ".
        const std::string prefix = "plugin " + plugin_path_ + ": init failed: ";
        const bool init_failed = error.compare(0, prefix.size(), prefix) == 0;
        const std::string text = init_failed ? error.substr(prefix.size()) : error;
        out_.emit(std::string(init_failed ? "init failed: " : "load failed: ") + text,
                  Json{{"kind", init_failed ? "init_failed" : "load_failed"}, {"error", text}});
        leave(bio_common::cli::exit_failure);
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
        leave(bio_common::cli::exit_failure);
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
}

// Watches for SIGINT and SIGTERM, quit, the end of run and --seconds, and reports a silent
// watchdog meanwhile; ends the process through finish.
void Runner::wait_for_stop() {
    sigset_t stop_signals;
    sigemptyset(&stop_signals);
    sigaddset(&stop_signals, SIGINT);
    sigaddset(&stop_signals, SIGTERM);
    const auto deadline = started_ + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                         std::chrono::duration<double>(options_.seconds));
    // The frame count that ends the run: --frames, or the end of the timeline plus one, since the
    // loop dequeues a frame only once it is done with the one before. 0: none.
    const std::uint64_t timeline_end = options_.until_end ? sensor_timeline_frames() : 0;
    if (options_.until_end && timeline_end == 0) {
        std::fprintf(stderr, "bio-host: --until-end: the scenario never ends (repeat, or a last step without a "
                             "length); stop with quit or a signal\n");
    }
    const std::uint64_t frame_limit = options_.frames != 0 ? options_.frames : timeline_end != 0 ? timeline_end + 1 : 0;
    for (;;) {
        // Frames come every 33 ms at 30 fps: a frame limit is watched more closely.
        timespec slice{0, (frame_limit != 0 ? 10 : 100) * 1000 * 1000};
        const int signal = ::sigtimedwait(&stop_signals, nullptr, &slice);
        if (signal == SIGINT || signal == SIGTERM) {
            out_.emit(std::string("stopping on ") + (signal == SIGINT ? "SIGINT" : "SIGTERM"),
                      Json{{"kind", "stopping"}, {"reason", signal == SIGINT ? "SIGINT" : "SIGTERM"}});
            finish(bio_common::cli::exit_ok);
        }
        const auto now = std::chrono::steady_clock::now();
        if (run_ended_) {
            finish(bio_common::cli::exit_failure);
        }
        if (quit_) {
            out_.emit("stopping on quit", Json{{"kind", "stopping"}, {"reason", "quit"}});
            finish(bio_common::cli::exit_ok);
        }
        if (options_.seconds > 0 && now >= deadline) {
            out_.emit("stopping after " + bio_common::number_text(options_.seconds) + " s",
                      Json{{"kind", "stopping"}, {"reason", "seconds"}});
            finish(bio_common::cli::exit_ok);
        }
        if (frame_limit != 0 && sensor_frames_dequeued() >= static_cast<long long>(frame_limit)) {
            if (options_.frames != 0) {
                out_.emit("stopping after " + std::to_string(options_.frames) + " frames",
                          Json{{"kind", "stopping"}, {"reason", "frames"}});
            } else {
                out_.emit("stopping at the end of the scenario (" + std::to_string(timeline_end) + " frames)",
                          Json{{"kind", "stopping"}, {"reason", "end"}, {"frames", timeline_end}});
            }
            finish(bio_common::cli::exit_ok);
        }
        check_silence(now);
    }
}

// Leaves the process. The plug-in's capture loop never returns and its consumer thread never
// ends, and both may be inside the host framework at any moment: running static destructors
// (exit) would tear the framework down under them. So the bus is drained, the summary printed,
// standard output flushed, and the process ends with _Exit, which runs no destructor and no
// atexit handler.
void Runner::finish(int code) {
    ovra::PostOffice::flush(std::chrono::seconds(2));
    Tally t = tally();
    t.streamed = close_debug_stream();
    out_.emit_last(summary_line(t), summary_json(t));
    leave(code);
}

// Ends the plug-in's debug stream, if it has one, and returns the frames it carried: the count is final,
// whatever the capture loop does until the process ends.
std::uint64_t Runner::close_debug_stream() const {
    void* const plugin = ::dlopen(plugin_path_.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (plugin == nullptr) {
        return 0;
    }
    std::uint64_t frames = 0;
    if (void* const close = ::dlsym(plugin, "bio_module_close_debug_stream")) {
        frames = reinterpret_cast<std::uint64_t (*)()>(reinterpret_cast<std::uintptr_t>(close))();
    }
    ::dlclose(plugin);
    return frames;
}

void Runner::leave(int code) {
    std::fflush(stdout);
    std::fflush(stderr);
    remove_sim_dir(sim_dir_);
    std::_Exit(code);
}

// Everything before the plug-in is loaded: the virtual sensor, the log sink, the database and
// the configuration in it, the observers, and where the plug-in is. Raises UsageError on an
// unusable scenario, database or configuration.
void Runner::set_up() {
    std::vector<IniEntry> configuration = read_configuration();
    SimSensor sensor;
    if (simulated_) {
        sensor = configure_sensor(options_, sim_dir_, configuration);
    }
    // Every record reaches bio-host's sink, which prints those at the chosen level and
    // counts camera restarts from the debug records.
    ovra::host::set_log_level(ovra::host::LogLevel::debug);
    ovra::host::add_log_sink([this](const ovra::host::LogRecord& record) { on_log(record); });

    try {
        ovra::host::open_database(options_.db);
    } catch (const std::exception& e) {
        throw UsageError(e.what());
    }
    seed_configuration(sensor, std::move(configuration));
    if (!ovra::host::peek_param(module_section, watchdog_timeout_key) && options_.config.empty()) {
        std::fprintf(stderr, "bio-host: the database has no [%s] configuration; give --config FILE\n",
                     module_section);
    }
    ovra::PostOffice::add_tap([this](const ovra::TapEvent& event) { on_bus(event); });
    ovra::host::add_watchdog_observer([this](const ovra::host::KeepAlive& k) { on_keep_alive(k); });
    plugin_path_ = options_.plugin.empty() ? find_plugin() : options_.plugin;
}

// Sets up as for a run; the private directory goes on every way out, these included.
void Runner::prepare() {
    if (simulated_) {
        sim_dir_ = own_sim_dir();
    }
    try {
        set_up();
    } catch (...) {
        remove_sim_dir(sim_dir_);
        throw;
    }
}

void Runner::probe() {
    prepare();
    ProbeReport report;
    try {
        report = probe_device(ovra::host::peek_param(module_section, device_path_key).value_or(""),
                              ovra::host::peek_param(module_section, fp_reader_path_key).value_or(""));
    } catch (...) {
        remove_sim_dir(sim_dir_);
        throw;
    }
    out_.emit_last(report.text, report.json);
    leave(bio_common::cli::exit_ok);
}

int Runner::run() {
    prepare();
    if (plugin_path_.empty()) {
        remove_sim_dir(sim_dir_);
        throw UsageError("cannot find libbio_module.so; give --plugin PATH");
    }
    start_plugin();
    std::thread([this] {
        if (read_commands(std::cin, *this)) {
            quit_ = true;
        }
    }).detach();
    wait_for_stop();
}

}  // namespace bio_host
