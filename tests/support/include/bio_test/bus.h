// The one recorder of what a component emits through the stand-in host: bus messages (a PostOffice
// tap) and, when asked, log records and watchdog keep-alives, in one ordered sequence.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ovra/host.h"
#include "ovra/message.h"

namespace bio_test {

// One bus message, log record or keep-alive, seen on the thread that produced it.
struct Event {
    enum class Kind { message, log, keep_alive };
    Kind kind = Kind::message;
    std::thread::id thread;
    std::chrono::steady_clock::time_point at;  // when it was sent or written
    std::uint64_t sequence = 0;                // messages: the bus's sequence number, from 1
    std::string type;                          // messages: the type; keep-alives: the name
    std::vector<ovra::MessageField> fields;
    ovra::host::LogLevel level = ovra::host::LogLevel::debug;  // log records
    std::string text;
    std::string function;  // empty for ovra::error::log records

    bool is_message(const std::string& of_type) const { return kind == Kind::message && type == of_type; }
    const ovra::MessageField* field(const std::string& name) const;
    // The int or int64 field `name`, or the string field `name`; nullopt when absent or of another kind.
    std::optional<std::int64_t> number_field(const std::string& name) const;
    std::optional<std::string> string_field(const std::string& name) const;
};

// Records while it lives; thread-safe, every wait bounded.
class BusRecorder {
public:
    // Bus messages only, or also log records and watchdog keep-alives.
    explicit BusRecorder(bool logs_and_keep_alives = false);
    ~BusRecorder();
    BusRecorder(const BusRecorder&) = delete;
    BusRecorder& operator=(const BusRecorder&) = delete;

    std::vector<Event> events() const;
    std::vector<Event> messages(const std::string& type) const;  // in send order
    int count(const std::string& type) const { return static_cast<int>(messages(type).size()); }
    // Texts of the log records (of `function` only, when it is not empty).
    std::vector<std::string> log_texts(const std::string& function = {}) const;
    // Waits until `done(events)` holds, or until at least `n` messages of `type` were sent; false on
    // time-out.
    bool wait_for(const std::function<bool(const std::vector<Event>&)>& done,
                  std::chrono::milliseconds timeout) const;
    bool wait_for(const std::string& type, int n, std::chrono::milliseconds timeout) const;
    void clear();

private:
    void add(Event event);

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::vector<Event> events_;
    int tap_id_ = -1;
    int sink_id_ = -1;
    int watchdog_id_ = -1;
};

}  // namespace bio_test
