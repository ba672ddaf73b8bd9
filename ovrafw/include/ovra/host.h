// The host side of the stand-in framework: what a host program (bio-host) and the tests use
// to run plug-ins and to observe them. Plug-ins never include this header.
#pragma once

#include <time.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ovra/export.h"
#include "ovra/plugin.h"

namespace ovra {
namespace host {

// ---- database (configuration store and data-access layer share it) ----
// Opens (creating when absent) the SQLite database at `path`; ":memory:" for tests.
// Creates the tables when missing. Raises ovra_exception with a line naming the path and
// the reason (for example a missing directory). Reopening closes the previous database.
OVRA_API void open_database(const std::string& path);
OVRA_API void close_database();
OVRA_API bool database_open();

// Writes a configuration value without announcing it (seeding, tests).
OVRA_API void seed_param(const std::string& section, const std::string& key, const std::string& value);
// Removes a key (tests of missing keys).
OVRA_API void erase_param(const std::string& section, const std::string& key);
// Reads a value without the required-key rule; nullopt when absent.
OVRA_API std::optional<std::string> peek_param(const std::string& section, const std::string& key);

// Data-access operations on the templates and users tables. Each posts
// "ovra_dal_record_inserted", "ovra_dal_record_updated" or "ovra_dal_record_deleted" with the
// string field "table" naming the table. Ids are chosen by the database.
OVRA_API std::int64_t insert_record(const std::string& table, const std::string& data);
// Inserts `count` rows in one transaction and posts one message.
OVRA_API void insert_records(const std::string& table, int count);
OVRA_API void update_record(const std::string& table, std::int64_t id, const std::string& data);
// Deletes up to `count` rows (oldest first) in one transaction and posts one message;
// returns how many were deleted.
OVRA_API int delete_records(const std::string& table, int count);
OVRA_API void set_device_id(std::int64_t id);

// ---- logger ----
enum class LogLevel { debug = 0, info = 1, error = 2 };
struct LogRecord {
    LogLevel level;
    timespec time;  // CLOCK_REALTIME
    long thread;    // kernel thread id
    std::string text;
    std::string file;      // empty for ovra::error::log
    std::string function;  // empty for ovra::error::log
    int line;              // 0 for ovra::error::log
};
using LogSink = std::function<void(const LogRecord&)>;
OVRA_API int add_log_sink(LogSink sink);
OVRA_API void remove_log_sink(int id);
// Records below `level` reach no sink. Default: debug.
OVRA_API void set_log_level(LogLevel level);
// "2026-12-05 17:24:53.123 DEBUG [tid] function (file:line): text"
OVRA_API std::string format_record(const LogRecord& record);

// Collects records in memory; thread-safe. Registered for its lifetime.
class OVRA_API MemoryLogSink {
public:
    MemoryLogSink();
    ~MemoryLogSink();
    MemoryLogSink(const MemoryLogSink&) = delete;
    MemoryLogSink& operator=(const MemoryLogSink&) = delete;

    std::vector<LogRecord> records() const;
    std::vector<std::string> texts() const;
    // Texts of the records whose function is `function`.
    std::vector<std::string> texts_of(const std::string& function) const;
    // Number of records whose text equals `text` (or starts with it when `prefix`).
    int count(const std::string& text, bool prefix = false) const;
    // Waits until `predicate(records)` holds; false on time-out.
    bool wait_for(const std::function<bool(const std::vector<LogRecord>&)>& predicate,
                  std::chrono::milliseconds timeout) const;
    void clear();

private:
    struct State;
    State* state_;
    int id_;
};

// ---- watchdog ----
struct KeepAlive {
    std::string name;
    timespec time;  // CLOCK_MONOTONIC
};
using WatchdogObserver = std::function<void(const KeepAlive&)>;
OVRA_API int add_watchdog_observer(WatchdogObserver observer);
OVRA_API void remove_watchdog_observer(int id);
// Last keep-alive of `name`, if any.
OVRA_API std::optional<timespec> last_keep_alive(const std::string& name);
OVRA_API std::uint64_t keep_alive_count(const std::string& name);
// True when `name` was never fed, or its last keep-alive is older than `interval` now.
OVRA_API bool missed(const std::string& name, std::chrono::milliseconds interval);
OVRA_API void reset_watchdog();

// ---- identification switch ----
// identification_enabled(id) reads configuration key "identification_enabled_<id>" of
// section "identifier" ("0" disables; absent or any other value enables).
OVRA_API void set_identification_enabled(int id, bool enabled);

// ---- plug-in loader ----
// Loads a plug-in .so, calls its `init`, and runs its `run` on a thread of its own.
class OVRA_API PluginHost {
public:
    PluginHost();
    // Does not stop a running `run` (it never returns); the thread is detached.
    ~PluginHost();
    PluginHost(const PluginHost&) = delete;
    PluginHost& operator=(const PluginHost&) = delete;

    // dlopen(RTLD_NOW | RTLD_LOCAL), resolve the unmangled `init`, call it. On failure returns
    // false with one line in `error`: a missing file or a failing dlopen, no `init` symbol,
    // or `init` returning 0 (then the line holds the plug-in's text).
    bool load(const std::string& path, std::string* error);
    Plugin& plugin() noexcept { return plugin_; }

    // Starts `run` on its own thread. An exception that leaves `run` is logged with
    // ovra::error::log ("plugin <name>: run ended: <what>") and reported to observers.
    // Returns false when no run function was registered.
    bool start();
    bool running() const;
    // Waits for `run` to leave; returns its exception text (or "run returned <n>") or
    // nullopt on time-out.
    std::optional<std::string> wait_exit(std::chrono::milliseconds timeout);
    using ExitObserver = std::function<void(const std::string& what)>;
    void on_exit(ExitObserver observer);

private:
    struct State;
    Plugin plugin_;
    void* handle_ = nullptr;
    State* state_;
};

}  // namespace host
}  // namespace ovra
