// Internal helpers shared by the units of libovrafw: observer registries, the guard around
// callbacks that may throw, the logger's entry point and the database connection.
#pragma once

#include <sqlite3.h>

#include <cxxabi.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "ovra/host.h"

namespace ovra {
namespace detail {

// Runs `call`. Returns nullopt when it returns, otherwise the text of what it threw: what() of
// a std::exception, "unknown exception" for anything else. The unwinding of a thread that is
// cancelled or exits (abi::__forced_unwind) is no failure: it passes through.
template <class Call>
std::optional<std::string> failure_of(Call&& call) {
    try {
        call();
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const std::exception& e) {
        return std::string(e.what());
    } catch (...) {
        return std::string("unknown exception");
    }
    return std::nullopt;
}

// An ordered list of callbacks (log sinks, bus listeners, taps, observers). Callbacks are
// invoked without the registry's lock held, so a callback may add or remove callbacks, send
// messages or log. remove() and clear() return only when no other thread is still inside a
// removed callback, so whatever a callback captured may be freed right after removal.
template <class Callback>
class Registry {
public:
    // Appends `callback` under `key` (the message type for bus listeners); returns its id.
    int add(Callback callback, const std::string& key = {}) {
        auto entry = std::make_shared<Entry>();
        entry->callback = std::move(callback);
        entry->key = key;
        std::lock_guard<std::mutex> lock(mutex_);
        entry->id = ++last_id_;
        entries_.push_back(entry);
        return entry->id;
    }

    // Removes the callback `id` (unknown ids are ignored) and waits for its calls on other
    // threads to return.
    void remove(int id) {
        std::unique_lock<std::mutex> lock(mutex_);
        auto it = std::find_if(entries_.begin(), entries_.end(),
                               [id](const std::shared_ptr<Entry>& e) { return e->id == id; });
        if (it == entries_.end()) {
            return;
        }
        std::shared_ptr<Entry> entry = *it;
        entries_.erase(it);
        entry->removed = true;
        wait_idle(lock, *entry);
    }

    // Removes every callback, waiting as remove() does.
    void clear() {
        std::unique_lock<std::mutex> lock(mutex_);
        std::vector<std::shared_ptr<Entry>> gone;
        gone.swap(entries_);
        for (auto& entry : gone) {
            entry->removed = true;
        }
        for (auto& entry : gone) {
            wait_idle(lock, *entry);
        }
    }

    // Calls `call(callback)` for each callback registered now (only those under `*key` when
    // `key` is not null), in registration order. A callback removed meanwhile is skipped.
    template <class Call>
    void for_each(const std::string* key, Call&& call) {
        std::vector<std::shared_ptr<Entry>> snapshot;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (const auto& entry : entries_) {
                if (key == nullptr || entry->key == *key) {
                    snapshot.push_back(entry);
                }
            }
        }
        const std::thread::id self = std::this_thread::get_id();
        for (const auto& entry : snapshot) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                if (entry->removed) {
                    continue;
                }
                entry->callers.push_back(self);
            }
            CallGuard guard{*this, *entry, self};
            call(entry->callback);
        }
    }

    // Tells every observer registered now: calls each with `args`, in registration order. An
    // observer that throws, whatever it throws, is passed over; the others are still told.
    template <class... Args>
    void notify(const Args&... args) {
        for_each(nullptr, [&](const Callback& observer) {
            try {
                observer(args...);
            } catch (...) {
                // The observed event happened either way; an observer's failure changes nothing.
            }
        });
    }

private:
    struct Entry {
        int id = 0;
        std::string key;
        Callback callback;
        bool removed = false;
        std::vector<std::thread::id> callers;  // threads inside the callback now
    };

    // Ends one call of `entry` by `self`, also when the callback throws.
    struct CallGuard {
        Registry& registry;
        Entry& entry;
        std::thread::id self;
        ~CallGuard() {
            {
                std::lock_guard<std::mutex> lock(registry.mutex_);
                auto it = std::find(entry.callers.begin(), entry.callers.end(), self);
                if (it != entry.callers.end()) {
                    entry.callers.erase(it);
                }
            }
            registry.idle_.notify_all();
        }
    };

    // Waits until only the calling thread (removing from inside its own callback) is in `entry`.
    void wait_idle(std::unique_lock<std::mutex>& lock, Entry& entry) {
        const std::thread::id self = std::this_thread::get_id();
        idle_.wait(lock, [&] {
            return std::all_of(entry.callers.begin(), entry.callers.end(),
                               [self](std::thread::id t) { return t == self; });
        });
    }

    std::mutex mutex_;
    std::condition_variable idle_;
    std::vector<std::shared_ptr<Entry>> entries_;
    int last_id_ = 0;
};

// Hands one record to the log sinks (subject to the level filter).
void emit_log(host::LogLevel level, const std::string& text, const std::string& file,
              const std::string& function, int line);

// Sends a message of `type` with string fields (name, value), in order.
void post_strings(const std::string& type, const std::vector<std::pair<std::string, std::string>>& fields);

// ---- database ----

// Runs `work(connection)` under the database lock. Raises ovra_exception "no database open"
// when no database is open; an SQLite failure inside `work` raises ovra_exception.
class DatabaseLock {
public:
    DatabaseLock();
    ~DatabaseLock();
    DatabaseLock(const DatabaseLock&) = delete;
    DatabaseLock& operator=(const DatabaseLock&) = delete;
    sqlite3* connection() const noexcept { return db_; }

private:
    std::unique_lock<std::mutex> lock_;
    sqlite3* db_;
};

// A prepared statement; finalized on destruction. Every failure raises ovra_exception.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    void bind(int index, const std::string& value);
    void bind(int index, std::int64_t value);
    // Advances; true while a row is available, false when done.
    bool step();
    void reset();
    std::string text(int column) const;
    std::int64_t integer(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* stmt_ = nullptr;
};

// Runs SQL without results; raises ovra_exception on failure.
void execute(sqlite3* db, const std::string& sql);

}  // namespace detail
}  // namespace ovra
