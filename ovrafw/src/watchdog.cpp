// The host's watchdog: the time and count of keep-alives by name, and their observers.
#include "ovra/watchdog.h"

#include <map>

#include "ovra/util.h"
#include "internal.h"

namespace ovra {
namespace {

struct Feed {
    timespec last{};
    std::uint64_t count = 0;
};

struct Watchdog {
    std::mutex mutex;
    std::map<std::string, Feed> feeds;
    detail::Registry<host::WatchdogObserver> observers;
};

// Never destroyed: a plug-in's loop may feed it while the process exits.
Watchdog& watchdog_state() {
    static Watchdog* instance = new Watchdog;
    return *instance;
}

}  // namespace

namespace watchdog {

void keep_alive(const std::string& name) {
    Watchdog& w = watchdog_state();
    const host::KeepAlive event{name, util::get_time()};
    {
        std::lock_guard<std::mutex> lock(w.mutex);
        Feed& feed = w.feeds[name];
        feed.last = event.time;
        ++feed.count;
    }
    // The plug-in feeding the watchdog is not to blame for an observer's failure.
    w.observers.notify(event);
}

}  // namespace watchdog

namespace host {

int add_watchdog_observer(WatchdogObserver observer) {
    return watchdog_state().observers.add(std::move(observer));
}

void remove_watchdog_observer(int id) {
    watchdog_state().observers.remove(id);
}

std::optional<timespec> last_keep_alive(const std::string& name) {
    Watchdog& w = watchdog_state();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.feeds.find(name);
    if (it == w.feeds.end()) {
        return std::nullopt;
    }
    return it->second.last;
}

std::uint64_t keep_alive_count(const std::string& name) {
    Watchdog& w = watchdog_state();
    std::lock_guard<std::mutex> lock(w.mutex);
    auto it = w.feeds.find(name);
    return it == w.feeds.end() ? 0 : it->second.count;
}

bool missed(const std::string& name, std::chrono::milliseconds interval) {
    std::optional<timespec> last = last_keep_alive(name);
    if (!last) {
        return true;
    }
    timespec age{};
    util::timespec_subtract(&age, util::get_time(), *last);
    const std::int64_t age_ns = static_cast<std::int64_t>(age.tv_sec) * 1000000000 + age.tv_nsec;
    return age_ns > std::chrono::duration_cast<std::chrono::nanoseconds>(interval).count();
}

void reset_watchdog() {
    Watchdog& w = watchdog_state();
    std::lock_guard<std::mutex> lock(w.mutex);
    w.feeds.clear();
}

}  // namespace host
}  // namespace ovra
