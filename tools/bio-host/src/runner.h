// The run of one plug-in inside the stand-in host: configuration, loading, the printed
// transcript of bus traffic, logs and watchdog reports, and the summary at the end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

#include "ovra/host.h"
#include "ovra/post_office.h"

#include "command.h"
#include "format.h"
#include "ini.h"
#include "options.h"
#include "simulate.h"

namespace bio_host {

// Serialises whole lines from every thread onto standard output.
class Printer {
public:
    explicit Printer(bool json) : json_(json) {}

    // Writes `text`, or `object` as one JSON line.
    void emit(const std::string& text, const Json& object) { write(text, object, false); }

    // Writes the transcript's last line: the plug-in's threads go on posting until the process
    // ends, and nothing they send after the summary may follow it.
    void emit_last(const std::string& text, const Json& object) { write(text, object, true); }

private:
    void write(const std::string& text, const Json& object, bool last);

    bool json_;
    std::mutex mutex_;
    bool closed_ = false;  // guarded by mutex_
};

// Runs the plug-in that `options` name until quit, --seconds, --frames, the end of the scenario
// (--until-end), SIGINT or SIGTERM (which the caller has blocked in every thread), or the end of
// its run.
class Runner final : private CommandSession {
public:
    explicit Runner(const Options& options);

    // Never returns once the plug-in is loaded: the process ends with _Exit and the exit
    // status (bio_common/cli.h). Raises bio_common::cli::UsageError for an unusable
    // configuration, scenario or database and when no plug-in is found, std::exception for a
    // private directory that cannot be made.
    int run();

    // --probe: sets up as run does, then prints the capture device and the sensor identification
    // instead of loading the plug-in, and ends the process. Raises as run does, and
    // std::runtime_error when the device cannot be opened.
    [[noreturn]] void probe();

private:
    void emit(const std::string& text, const Json& object) override { out_.emit(text, object); }
    Tally tally() override;

    std::vector<IniEntry> read_configuration() const;
    void seed_configuration(const SimSensor& sensor, std::vector<IniEntry> entries);
    void on_bus(const ovra::TapEvent& event);
    void on_log(const ovra::host::LogRecord& record);
    void on_keep_alive(const ovra::host::KeepAlive& keep_alive);
    void check_silence(std::chrono::steady_clock::time_point now);
    void start_plugin();
    [[noreturn]] void wait_for_stop();
    [[noreturn]] void finish(int code);
    std::uint64_t close_debug_stream() const;
    // Ends the process with `code` at once: standard streams flushed, private directory removed.
    [[noreturn]] void leave(int code);
    void set_up();
    void prepare();

    double seconds_since_start(std::chrono::steady_clock::time_point when) const {
        return std::chrono::duration<double>(when - started_).count();
    }

    const Options& options_;
    Printer out_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    ovra::host::LogLevel print_level_ = ovra::host::LogLevel::info;
    bool print_logs_ = true;
    bool simulated_ = false;
    std::string sim_dir_;
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

}  // namespace bio_host
