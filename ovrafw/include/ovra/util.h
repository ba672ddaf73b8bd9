// Time, thread and file helpers, and identifiers.
#pragma once

#include <pthread.h>
#include <time.h>

#include <string>

#include "ovra/export.h"

namespace ovra {
namespace util {

// CLOCK_MONOTONIC now.
OVRA_API timespec get_time();
// *result = x - y, normalised so that 0 <= tv_nsec < 1e9.
OVRA_API void timespec_subtract(timespec* result, const timespec& x, timespec y);
// Whole milliseconds of t, truncated toward zero.
OVRA_API int timespec_to_ms(const timespec& t);
// Names the thread (the kernel keeps 15 characters).
OVRA_API void set_thread_name(const std::string& name, pthread_t thread);
// Real-time priority for the calling thread; a refusal (EPERM) is logged, never thrown.
OVRA_API void set_thread_priority(int priority);
OVRA_API bool file_exists(const std::string& path);

namespace identifier {
// A new RFC 4122 version 4 identifier as 36 lower-case characters.
OVRA_API std::string generate_new_uuid();
// Whether identification by the module with identifier id `id` is switched on.
OVRA_API bool identification_enabled(int id);
}  // namespace identifier

}  // namespace util
}  // namespace ovra
