// The trace of every call the virtual sensor intercepted: in memory for tests in the same
// process, and as text lines in a file for runs in another process.
#include "internal.h"

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

namespace vsensor::detail {

namespace {

// The trace has its own lock, taken last: it is recorded from under the device's lock and
// from the mapping bookkeeping alike.
struct TraceState {
    std::mutex mutex;
    std::deque<TraceEntry> entries;
    std::FILE* file = nullptr;
    std::chrono::steady_clock::time_point origin = std::chrono::steady_clock::now();
};

TraceState& trace_state() {
    // Never destroyed: calls may still be intercepted while the process exits.
    static TraceState* state = new TraceState;
    return *state;
}

}  // namespace

void trace_hold(bool hold) {
    if (hold) {
        trace_state().mutex.lock();
    } else {
        trace_state().mutex.unlock();
    }
}

void trace_record(const TraceEntry& entry) {
    TraceState& state = trace_state();
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.entries.size() >= trace_capacity) {
        state.entries.pop_front();
    }
    state.entries.push_back(entry);
    if (state.file != nullptr) {
        const double seconds = std::chrono::duration<double>(entry.when - state.origin).count();
        std::fprintf(state.file, "%.6f %s fd=%d request=0x%08lx arg=%" PRId64 " result=%" PRId64 " errno=%s",
                     seconds, call_name(entry.call), entry.fd, entry.request, entry.arg, entry.result,
                     errno_name(entry.error).c_str());
        const recording::Truth& truth = entry.truth;
        if (truth.known) {
            std::fprintf(state.file, " frame=%" PRIu32 " touch=%" PRIu32 " phase=%s contact=%u contrast=%u",
                         truth.sensor_frame, truth.touch, recording::phase_name(truth.phase),
                         unsigned{truth.contact_permyriad}, unsigned{truth.contrast_permyriad});
        }
        std::fputc('\n', state.file);
        std::fflush(state.file);
    }
}

void trace_reset() {
    TraceState& state = trace_state();
    std::lock_guard<std::mutex> lock(state.mutex);
    state.entries.clear();
}

}  // namespace vsensor::detail

namespace vsensor {

std::vector<TraceEntry> trace() {
    auto& state = detail::trace_state();
    std::lock_guard<std::mutex> lock(state.mutex);
    return {state.entries.begin(), state.entries.end()};
}

void clear_trace() {
    detail::trace_reset();
}

void set_trace_file(const std::string& path) {
    auto& state = detail::trace_state();
    std::FILE* file = nullptr;
    if (!path.empty()) {
        file = std::fopen(path.c_str(), "w");
        if (file == nullptr) {
            throw std::runtime_error("cannot write the trace file " + path + ": " + std::strerror(errno));
        }
    }
    std::lock_guard<std::mutex> lock(state.mutex);
    if (state.file != nullptr) {
        std::fclose(state.file);
    }
    state.file = file;
}

}  // namespace vsensor
