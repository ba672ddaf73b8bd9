// Helpers of the finger pipeline tests: module configuration without init, one ordered transcript of
// bus messages and log records, the watchdog's keep-alives, and the capture loop on a thread of its own.
#pragma once

#include <time.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bio_test/legacy_support.h"
#include "ovra/host.h"
#include "ovra/message.h"

namespace pipeline_test {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr const char* type_image = "identifier_new_biometric_image";
constexpr const char* type_detected = "bio_module_finger_detected";
constexpr const char* type_removed = "bio_module_finger_removed";

// The default configuration of the shared fixture with `overrides` on top, device_path and
// fp_reader_path taken from `env`.
bio_test::ParamMap module_params(const bio_test::ModuleEnv& env, const bio_test::ParamMap& overrides = {});
// Stores `params` into the module's configuration variables the way the entry point converts them
// (milliseconds to a timeval or to microseconds, flags from non-zero integers).
void apply_params(const bio_test::ParamMap& params);

// One bus message or log record, in the order they happened.
struct Event {
    bool is_message = false;
    std::string type;                        // message type
    std::vector<ovra::MessageField> fields;  // message fields
    ovra::host::LogLevel level = ovra::host::LogLevel::debug;
    std::string text;      // log text
    std::string function;  // log function (empty for error records)
    std::thread::id thread;
    Clock::time_point at;
    // For image messages when best-frame snapshots are on: the first and last byte of the
    // detector's best frame at the moment the image went out.
    int best_first = -1;
    int best_last = -1;

    std::optional<std::int64_t> number(const std::string& name) const;
    std::optional<std::string> string_field(const std::string& name) const;
};

// Records the module's bus messages and log records in one sequence while it lives.
class Transcript {
public:
    // With `snapshot_best_frame`, image messages carry the detector's best frame bytes (read on the
    // sending thread, which for image messages is always the capture thread).
    explicit Transcript(bool snapshot_best_frame = false);
    ~Transcript();
    Transcript(const Transcript&) = delete;
    Transcript& operator=(const Transcript&) = delete;

    std::vector<Event> events() const;
    std::vector<Event> messages(const std::string& type) const;
    int count(const std::string& type) const;
    // Waits until `predicate(events)` holds; false on time-out.
    bool wait_for(const std::function<bool(const std::vector<Event>&)>& predicate,
                  std::chrono::milliseconds timeout) const;
    bool wait_for_count(const std::string& type, int n, std::chrono::milliseconds timeout) const;
    void clear();

    // Compact text of the finger events and the "run" records: "image v=200 f=2", "detected",
    // "removed", "UUID" (a "UUID:" record; its identifier is checked against the image before it),
    // other "run" record texts verbatim, and "error:<text>" for error records.
    std::vector<std::string> summary() const;

private:
    void add(Event event);

    bool snapshot_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
    int tap_id_ = -1;
    int sink_id_ = -1;
};

// Keep-alives of "bio_module", with their CLOCK_MONOTONIC times as steady-clock points.
class KeepAlives {
public:
    KeepAlives();
    ~KeepAlives();
    KeepAlives(const KeepAlives&) = delete;
    KeepAlives& operator=(const KeepAlives&) = delete;

    std::vector<Clock::time_point> times() const;
    bool wait_for_count(std::size_t n, std::chrono::milliseconds timeout) const;

private:
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Clock::time_point> times_;
    int id_ = -1;
};

Clock::time_point to_steady(const timespec& monotonic);

// Runs the capture loop on a thread of its own. The loop leaves only by an exception; the
// destructor forces one (a failing device) if the test has not, and joins the thread.
class RunThread {
public:
    RunThread();
    ~RunThread();
    RunThread(const RunThread&) = delete;
    RunThread& operator=(const RunThread&) = delete;

    // The text of the exception that ended the loop, or nullopt while it still runs after `timeout`.
    std::optional<std::string> wait_exit(std::chrono::milliseconds timeout);
    std::thread::id id() const { return thread_.get_id(); }

private:
    void body();

    std::mutex mutex_;
    std::condition_variable ended_;
    std::optional<std::string> exit_text_;
    std::thread thread_;
};

// Raw frames for the virtual sensor to replay: the capture format's bytes of 640 x 480 pixels. The
// sensor's synthetic frames are rendered per frame, which is too slow under ThreadSanitizer; a replayed
// recording costs a file read.
// Empty glass: every byte `level` (scores 0).
std::vector<unsigned char> glass_frame(unsigned char level = 200);
// A finger-like frame: a one-pixel checkerboard of 40 and 220 (scores far above any threshold).
std::vector<unsigned char> ridged_frame();
// Writes `frames` as a recording at `path` and returns the scenario text that replays it for ever.
std::string replay_scenario(const std::string& path, const std::vector<std::vector<unsigned char>>& frames);

// Milliseconds between two points, as a double for readable failure messages.
double ms_between(Clock::time_point from, Clock::time_point to);

}  // namespace pipeline_test
