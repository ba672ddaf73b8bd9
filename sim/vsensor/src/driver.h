// The emulated V4L2 capture driver: its state, the producer thread that fills queued buffers,
// the V4L2 request handlers and the installation of a configuration.
//
// Locks, always taken in this order and never the other way: the device's, the mappings',
// the trace's. A descriptor handed out is an eventfd in semaphore mode whose counter equals the
// number of filled buffers waiting, so the client's own select/poll works on it. Buffer memory
// is a memfd; the client maps it through mmap of the device descriptor, and the producer fills
// it with pwrite, so the driver holds no mapping of its own.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "internal.h"
#include "vsensor/vsensor.h"

namespace vsensor::detail {

using steady = std::chrono::steady_clock;

// Who has a buffer: the client, the driver's queue, the producer, or the done queue.
enum class Owner { user, queued, filling, filled };

struct BufferState {
    Owner owner = Owner::user;
    std::uint32_t bytesused = 0;
    std::uint32_t sequence = 0;
    timespec stamp{};
    recording::Truth truth;  // of the frame it holds
};

struct FaultState {
    Fault fault;
    int seen = 0;
};

struct StallState {
    std::uint64_t after_frames;
    std::chrono::milliseconds duration;
    bool fired = false;
};

// One open of the device node, shared by the descriptors dup'ed from it (the kernel's file handle):
// its flags, its access priority and the eventfd its descriptors share.
struct OpenFile {
    int flags = 0;               // the open flags; O_NONBLOCK as the client last set it
    std::uint32_t priority = 2;  // V4L2_PRIORITY_DEFAULT
    int signal_fd = -1;          // one of its descriptors, through which the producer signals the eventfd
};

struct Device {
    std::mutex mutex;
    std::condition_variable changed;
    Config config;
    std::shared_ptr<const FrameSource> source = std::make_shared<FrameSource>(Timeline{}, 1, 30.0);

    std::vector<FaultState> faults;
    std::vector<StallState> stalls;
    std::vector<ScenarioSettings::BadIndex> bad_indexes;

    std::map<int, std::shared_ptr<OpenFile>> descriptors;  // every descriptor handed out -> its open
    std::shared_ptr<OpenFile> owner;                       // the open that holds the buffers
    int memfd = -1;
    std::uint32_t stride = 0;  // distance between buffer offsets, page aligned
    std::vector<BufferState> buffers;
    std::deque<std::uint32_t> queued;
    std::deque<std::uint32_t> filled;
    bool streaming = false;
    std::uint32_t sequence = 0;

    std::thread producer;
    std::uint64_t producer_generation = 0;  // a producer runs while its generation is current
    steady::time_point next_due{};
    steady::time_point stall_until{};

    std::uint64_t opens = 0;
    std::uint64_t frames_produced = 0;
    std::uint64_t frames_dequeued = 0;

    // The truth of produced frames: where it is sent, and what the dequeued frames showed.
    std::shared_ptr<const TruthSender> truth_sender;
    recording::Truth last_truth;
    std::uint64_t contact_frames_dequeued = 0;
    std::uint64_t touches_dequeued = 0;
    std::uint32_t last_touch_dequeued = 0;
};

// The one device of the process; never destroyed, because calls may still be intercepted
// while the process exits.
Device& device();

// The buffer mappings the client holds (start -> length), under their own lock.
struct Mappings {
    std::mutex mutex;
    std::map<std::uintptr_t, std::size_t> live;
};
Mappings& mappings();

// Whether descriptor `fd` belongs to the open that holds the buffers.
bool holds_buffers(const Device& d, int fd);

// Adds one entry to the trace, stamped now; the error is kept only for a failed call.
void record(Call call, unsigned long request, int fd, std::int64_t arg, std::int64_t result, int error);

// Counts the truth of a frame dequeued now. Called with the lock held.
void count_dequeued_truth(Device& d, const recording::Truth& truth);

// The errno of the configured fault for this call if one fires now, else 0 (every fault
// counts every call of its kind, and the first that fires decides).
int inject(Device& d, Call call);

// Starts the producer thread for a new stream; 0, or the errno of a failed thread start.
int start_producer(Device& d);
// Stops and joins the producer, if one runs. The lock is released while joining.
void stop_producer(Device& d, std::unique_lock<std::mutex>& lock);
// Every buffer back with the client, and the descriptor's counter at zero.
void return_buffers(Device& d);
// Frees the buffers; mappings the client still holds stay valid (they keep the memory).
void release_buffers(Device& d);

// The kind of call a request number is (other_ioctl for every request not emulated).
Call classify(unsigned long request);
// Runs one V4L2 request on `fd`: 0, or the errno of its failure. `shown` receives the value
// the trace shows as the call's argument. The lock may be released while a blocking DQBUF
// waits.
int dispatch(Device& d, std::unique_lock<std::mutex>& lock, int fd, unsigned long request, void* arg,
             std::int64_t& shown);

// Whether the open of `fd` may make a request that changes the device: none holds a higher
// access priority (VIDIOC_S_PRIORITY).
bool may_change(const Device& d, int fd);
// The requests that describe the device (formats, sizes, intervals, parameters, input,
// priority, controls, events, log status); ENOTTY for any other.
int dispatch_query(Device& d, int fd, unsigned long request, void* arg);
bool is_query(unsigned long request);

// Adds the faults, stalls and bad indexes of a scenario to those already set.
void add_scenario_faults(Device& d, const ScenarioSettings& settings);

// Hands the node's paths (the device's, the identification attribute's) to the interposer's
// pre-check. Called with the device's lock held.
void publish_paths(const Config& config);

// Replaces the whole state: `requested` with its scenario's lines applied, then `overrides`.
// Throws std::invalid_argument for an impossible configuration or scenario, and
// std::logic_error while a descriptor is open.
void install(const Config& requested, const std::function<void(Config&)>& overrides);

}  // namespace vsensor::detail
