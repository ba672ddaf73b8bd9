// The host's logger: records with time, level, thread and source location, handed to
// pluggable sinks (a formatted stderr line, an in-memory collector for tests).
#include "ovra/log.h"

#include <stdio.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "internal.h"

namespace ovra {
namespace {

struct Logger {
    detail::Registry<host::LogSink> sinks;
    std::atomic<int> level{static_cast<int>(host::LogLevel::debug)};
};

// Never destroyed: plug-in threads may still log while the process exits.
Logger& logger() {
    static Logger* instance = new Logger;
    return *instance;
}

// Set while this thread is inside a sink; a record logged from a sink is dropped rather
// than recursing.
thread_local bool inside_sink = false;

const char* level_name(host::LogLevel level) {
    switch (level) {
        case host::LogLevel::debug:
            return "DEBUG";
        case host::LogLevel::info:
            return "INFO";
        case host::LogLevel::error:
            return "ERROR";
    }
    return "?";
}

// The kernel thread id of the calling thread.
long current_thread_id() noexcept {
    return static_cast<long>(::gettid());
}

}  // namespace

namespace detail {

void emit_log(host::LogLevel level, const std::string& text, const std::string& file,
              const std::string& function, int line) {
    Logger& log = logger();
    if (static_cast<int>(level) < log.level.load() || inside_sink) {
        return;
    }
    host::LogRecord record{level, {}, current_thread_id(), text, file, function, line};
    clock_gettime(CLOCK_REALTIME, &record.time);
    inside_sink = true;
    // A failing sink must not take the caller down; the others still get the record.
    log.sinks.notify(record);
    inside_sink = false;
}

}  // namespace detail

namespace mevlog {
void debug(const std::string& text, const std::string& file, const std::string& function, int line) {
    detail::emit_log(host::LogLevel::debug, text, file, function, line);
}
}  // namespace mevlog

namespace error {
void log(const std::string& text) {
    detail::emit_log(host::LogLevel::error, text, std::string(), std::string(), 0);
}
}  // namespace error

namespace host {

int add_log_sink(LogSink sink) {
    return logger().sinks.add(std::move(sink));
}

void remove_log_sink(int id) {
    logger().sinks.remove(id);
}

void set_log_level(LogLevel level) {
    logger().level.store(static_cast<int>(level));
}

std::string format_record(const LogRecord& record) {
    struct tm local {};
    const time_t seconds = record.time.tv_sec;
    localtime_r(&seconds, &local);
    char stamp[32];
    strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &local);
    char millis[8];
    snprintf(millis, sizeof millis, ".%03ld", static_cast<long>(record.time.tv_nsec / 1000000) % 1000);

    std::string line = std::string(stamp) + millis + " " + level_name(record.level) + " [" +
                       std::to_string(record.thread) + "] ";
    if (!record.function.empty() || !record.file.empty()) {
        line += record.function + " (" + record.file + ":" + std::to_string(record.line) + "): ";
    }
    line += record.text;
    return line;
}

// The records live behind a shared pointer held by the registered sink too, so a record
// delivered while the collector is being destroyed still lands in valid memory.
struct MemoryLogSink::State {
    struct Records {
        mutable std::mutex mutex;
        mutable std::condition_variable changed;
        std::vector<LogRecord> records;
    };
    std::shared_ptr<Records> shared = std::make_shared<Records>();
};

MemoryLogSink::MemoryLogSink() : state_(new State), id_(0) {
    std::shared_ptr<State::Records> shared = state_->shared;
    id_ = add_log_sink([shared](const LogRecord& record) {
        {
            std::lock_guard<std::mutex> lock(shared->mutex);
            shared->records.push_back(record);
        }
        shared->changed.notify_all();
    });
}

MemoryLogSink::~MemoryLogSink() {
    remove_log_sink(id_);
    delete state_;
}

std::vector<LogRecord> MemoryLogSink::records() const {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    return state_->shared->records;
}

std::vector<std::string> MemoryLogSink::texts() const {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    std::vector<std::string> result;
    for (const auto& record : state_->shared->records) {
        result.push_back(record.text);
    }
    return result;
}

std::vector<std::string> MemoryLogSink::texts_of(const std::string& function) const {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    std::vector<std::string> result;
    for (const auto& record : state_->shared->records) {
        if (record.function == function) {
            result.push_back(record.text);
        }
    }
    return result;
}

int MemoryLogSink::count(const std::string& text, bool prefix) const {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    int found = 0;
    for (const auto& record : state_->shared->records) {
        const bool match = prefix ? record.text.compare(0, text.size(), text) == 0 : record.text == text;
        found += match ? 1 : 0;
    }
    return found;
}

bool MemoryLogSink::wait_for(const std::function<bool(const std::vector<LogRecord>&)>& predicate,
                             std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(state_->shared->mutex);
    return state_->shared->changed.wait_for(lock, timeout,
                                            [&] { return predicate(state_->shared->records); });
}

void MemoryLogSink::clear() {
    std::lock_guard<std::mutex> lock(state_->shared->mutex);
    state_->shared->records.clear();
}

}  // namespace host
}  // namespace ovra
