// Time, thread and file helpers, and identifiers.
#include "ovra/util.h"

#include <sched.h>
#include <sys/stat.h>
#include <uuid/uuid.h>

#include <cstdint>
#include <climits>
#include <system_error>

#include "ovra/log.h"

namespace ovra {
namespace util {
namespace {

constexpr std::int64_t nanos_per_second = 1000000000;

// Splits `nanos` into whole seconds (rounded down) and 0 <= nanoseconds < 1e9 added to `seconds`.
timespec normalised(std::int64_t seconds, std::int64_t nanos) {
    std::int64_t carry = nanos / nanos_per_second;
    nanos %= nanos_per_second;
    if (nanos < 0) {
        nanos += nanos_per_second;
        --carry;
    }
    timespec t{};
    t.tv_sec = static_cast<time_t>(seconds + carry);
    t.tv_nsec = static_cast<long>(nanos);
    return t;
}

}  // namespace

timespec get_time() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now;
}

void timespec_subtract(timespec* result, const timespec& x, timespec y) {
    if (result == nullptr) {
        return;
    }
    *result = normalised(static_cast<std::int64_t>(x.tv_sec) - static_cast<std::int64_t>(y.tv_sec),
                         static_cast<std::int64_t>(x.tv_nsec) - static_cast<std::int64_t>(y.tv_nsec));
}

int timespec_to_ms(const timespec& t) {
    const timespec n = normalised(static_cast<std::int64_t>(t.tv_sec), static_cast<std::int64_t>(t.tv_nsec));
    // n = sec + nsec / 1e9 with 0 <= nsec < 1e9. For a negative n with a fraction, the whole
    // milliseconds round down; add one to truncate toward zero instead.
    std::int64_t ms = static_cast<std::int64_t>(n.tv_sec) * 1000 + n.tv_nsec / 1000000;
    if (ms < 0 && n.tv_nsec % 1000000 != 0) {
        ++ms;
    }
    if (ms > INT_MAX) {
        return INT_MAX;
    }
    if (ms < INT_MIN) {
        return INT_MIN;
    }
    return static_cast<int>(ms);
}

void set_thread_name(const std::string& name, pthread_t thread) {
    const std::string kept = name.substr(0, 15);
    const int rc = pthread_setname_np(thread, kept.c_str());
    if (rc != 0) {
        error::log("set_thread_name(" + kept + "): " + std::system_category().message(rc));
    }
}

void set_thread_priority(int priority) {
    sched_param param{};
    int policy = SCHED_OTHER;
    if (priority > 0) {
        policy = SCHED_FIFO;
        param.sched_priority = priority;
    }
    const int rc = pthread_setschedparam(pthread_self(), policy, &param);
    if (rc != 0) {
        error::log("set_thread_priority(" + std::to_string(priority) +
                   "): " + std::system_category().message(rc));
    }
}

bool file_exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

namespace identifier {

std::string generate_new_uuid() {
    uuid_t binary;
    uuid_generate_random(binary);
    char text[37];
    uuid_unparse_lower(binary, text);
    return std::string(text, 36);
}

}  // namespace identifier
}  // namespace util
}  // namespace ovra
