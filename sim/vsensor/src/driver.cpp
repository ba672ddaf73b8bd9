// The emulated driver's state and its producer thread: faults, buffer bookkeeping, the frames
// filled at the configured rate, and the installation of a new configuration.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <new>
#include <pthread.h>
#include <stdexcept>
#include <system_error>
#include <unistd.h>

#include "hooks.h"

namespace vsensor::detail {

namespace {

// What the producer does next.
enum class Turn { stop, wait, fill };

// Decides, under the lock, whether the producer may fill a buffer now; waits (bounded) when it
// may not. A stall whose frame count is reached starts here.
// `now` receives the time of the decision.
Turn next_turn(Device& d, std::unique_lock<std::mutex>& lock, std::uint64_t generation,
               steady::time_point& now) {
    if (d.producer_generation != generation) {
        return Turn::stop;
    }
    now = steady::now();
    for (auto& stall : d.stalls) {
        if (!stall.fired && d.frames_produced >= stall.after_frames) {
            stall.fired = true;
            d.stall_until = std::max(d.stall_until, now + stall.duration);
        }
    }
    if (now < d.stall_until) {
        d.changed.wait_until(lock, d.stall_until);
        return Turn::wait;
    }
    if (d.config.fps > 0.0 && now < d.next_due) {
        d.changed.wait_until(lock, d.next_due);
        return Turn::wait;
    }
    if (d.queued.empty()) {
        d.changed.wait_for(lock, std::chrono::milliseconds(200));
        return Turn::wait;
    }
    return Turn::fill;
}

// Marks buffer `index` filled with `written` bytes, signals the descriptor and sets the time
// of the next frame. Called with the lock held.
void complete(Device& d, std::uint32_t index, ssize_t written, steady::time_point started,
              const recording::Truth& truth) {
    BufferState& buffer = d.buffers[index];
    buffer.owner = Owner::filled;
    buffer.truth = truth;
    buffer.bytesused = written > 0 ? static_cast<std::uint32_t>(written) : 0;
    buffer.sequence = d.sequence++;
    // A frame is stamped, as a sensor stamps it, with its place in the frame rate's schedule, so
    // that a client sees a steady rate; a frame made a period or more late (no buffer was queued,
    // a stall) or by a free-running sensor, with the time it was made. The next one is due a
    // period after, so stamps always grow by a period at least.
    const auto period = d.config.fps > 0.0 ? std::chrono::duration_cast<steady::duration>(
                                                  std::chrono::duration<double>(1.0 / d.config.fps))
                                            : steady::duration::zero();
    const steady::time_point due = started - d.next_due < period ? d.next_due : started;
    d.next_due = due + period;
    const auto since_boot = due.time_since_epoch();  // steady_clock is CLOCK_MONOTONIC
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(since_boot);
    buffer.stamp.tv_sec = static_cast<time_t>(seconds.count());
    buffer.stamp.tv_nsec = static_cast<long>(std::chrono::nanoseconds(since_boot - seconds).count());
    d.filled.push_back(index);
    ++d.frames_produced;
    const std::uint64_t one = 1;
    if (real_write(d.owner->signal_fd, &one, sizeof one) != sizeof one) {
        std::fprintf(stderr, "vsensor: cannot signal a filled buffer: %s\n", std::strerror(errno));
    }
    d.changed.notify_all();
}

// The producer thread: fills queued buffers in queue order until its generation ends. The
// frame is rendered and written without the lock.
void produce(Device& d, std::uint64_t generation) {
    std::vector<unsigned char> frame(frame_bytes);
    ReplayCursor cursor;
    std::unique_lock<std::mutex> lock(d.mutex);
    steady::time_point started;
    for (Turn turn; (turn = next_turn(d, lock, generation, started)) != Turn::stop;) {
        if (turn == Turn::wait) {
            continue;
        }
        const std::uint32_t index = d.queued.front();
        d.queued.pop_front();
        d.buffers[index].owner = Owner::filling;
        const std::uint64_t number = d.frames_produced;
        const std::shared_ptr<const FrameSource> source = d.source;
        const std::shared_ptr<const TruthSender> truth_sender = d.truth_sender;
        const int memfd = d.memfd;
        const off_t offset = static_cast<off_t>(index) * d.stride;
        const std::size_t length = std::min<std::size_t>(d.config.buffer_length, frame_bytes);
        lock.unlock();

        const recording::Truth truth = source->render(number, frame.data(), cursor);
        const ssize_t written = ::pwrite(memfd, frame.data(), length, offset);
        if (truth_sender) {
            truth_sender->send(frame.data(), length, truth);
        }

        lock.lock();
        if (d.producer_generation != generation) {
            break;
        }
        complete(d, index, written, started, truth);
    }
}

// A process that exits with the device still streaming must not keep a producer running
// while the runtime tears down.
__attribute__((destructor)) void stop_at_exit() {
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    d.streaming = false;
    stop_producer(d, lock);
}

// A forked child gets a copy of the device but none of the parent's threads. The locks are held
// across the fork so that the copy is consistent; the child then forgets the producer without
// joining it (its stream stays on, but no frame comes) and the waiters of the condition, which
// were the parent's threads. What the child does with the device stays in the child.
void before_fork() {
    device().mutex.lock();
    mappings().mutex.lock();
    trace_hold(true);
}

void after_fork_in_parent() {
    trace_hold(false);
    mappings().mutex.unlock();
    device().mutex.unlock();
}

void after_fork_in_child() {
    Device& d = device();
    ++d.producer_generation;
    if (d.producer.joinable()) {
        new std::thread(std::move(d.producer));  // never joined nor destroyed: there is no such thread here
    }
    new (&d.changed) std::condition_variable;
    after_fork_in_parent();
}

__attribute__((constructor)) void register_fork_handlers() {
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);
}

}  // namespace

Device& device() {
    static Device* instance = new Device;
    return *instance;
}

Mappings& mappings() {
    static Mappings* instance = new Mappings;
    return *instance;
}

bool holds_buffers(const Device& d, int fd) {
    const auto found = d.descriptors.find(fd);
    return d.owner != nullptr && found != d.descriptors.end() && found->second == d.owner;
}

// A DQBUF that succeeded carries the truth of the frame it handed out (the caller holds the lock).
void record(Call call, unsigned long request, int fd, std::int64_t arg, std::int64_t result, int error) {
    const bool dequeued = call == Call::dqbuf && result == 0;
    trace_record(TraceEntry{call, request, fd, arg, result, result < 0 ? error : 0, steady::now(),
                            dequeued ? device().last_truth : recording::Truth{}});
}

void count_dequeued_truth(Device& d, const recording::Truth& truth) {
    d.last_truth = truth;
    if (truth.contact) {
        ++d.contact_frames_dequeued;
        if (truth.touch != d.last_touch_dequeued) {
            ++d.touches_dequeued;
            d.last_touch_dequeued = truth.touch;
        }
    }
}

int inject(Device& d, Call call) {
    int error = 0;
    for (auto& state : d.faults) {
        if (state.fault.call != call) {
            continue;
        }
        ++state.seen;
        const bool due = state.seen > state.fault.skip &&
                         (state.fault.count < 0 || state.seen <= state.fault.skip + state.fault.count);
        if (due && error == 0) {
            error = state.fault.error;
        }
    }
    return error;
}

int start_producer(Device& d) {
    d.streaming = true;
    d.sequence = 0;
    d.next_due = steady::now();
    const std::uint64_t generation = ++d.producer_generation;
    try {
        d.producer = std::thread(produce, std::ref(d), generation);
    } catch (const std::system_error& error) {
        d.streaming = false;
        return error.code().value() != 0 ? error.code().value() : EAGAIN;
    }
    return 0;
}

void stop_producer(Device& d, std::unique_lock<std::mutex>& lock) {
    ++d.producer_generation;
    d.changed.notify_all();
    if (!d.producer.joinable()) {
        return;
    }
    std::thread producer = std::move(d.producer);
    lock.unlock();
    producer.join();
    lock.lock();
}

void return_buffers(Device& d) {
    d.queued.clear();
    d.filled.clear();
    for (auto& buffer : d.buffers) {
        buffer.owner = Owner::user;
    }
    if (d.owner && d.owner->signal_fd >= 0) {
        std::uint64_t value = 0;
        while (real_read(d.owner->signal_fd, &value, sizeof value) == sizeof value) {
        }
    }
}

void release_buffers(Device& d) {
    return_buffers(d);
    d.buffers.clear();
    if (d.memfd >= 0) {
        ::close(d.memfd);
        d.memfd = -1;
    }
    d.owner = nullptr;
    d.stride = 0;
}

namespace {

// Every path handed over stays alive: an open() in flight may still be comparing with it.
const char* keep_path(const std::string& path) {
    static auto* published = new std::deque<std::string>;
    const auto found = std::find(published->begin(), published->end(), path);
    if (found != published->end()) {
        return found->c_str();
    }
    published->push_back(path);
    return published->back().c_str();
}

}  // namespace

void publish_paths(const Config& config) {
    set_device_path_text(keep_path(config.device_path));
    set_model_path_text(config.sensor_model ? keep_path(config.model_attribute_path) : nullptr);
}

void install(const Config& requested, const std::function<void(Config&)>& overrides) {
    validate(requested);
    const ScenarioSettings settings = parse_scenario(requested.scenario);
    Config config = requested;
    apply_settings(settings, config);
    if (overrides) {
        overrides(config);
    }
    validate(config);
    auto source = std::make_shared<const FrameSource>(settings.timeline, config.seed, config.fps,
                                                      correction_model(config));
    auto truth_sender = config.truth_to.empty() ? nullptr : std::make_shared<const TruthSender>(config.truth_to);

    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.descriptors.empty()) {
        throw std::logic_error("vsensor::configure: the device is open (" +
                               std::to_string(d.descriptors.size()) + " descriptors)");
    }
    d.config = config;
    publish_paths(config);
    d.source = std::move(source);
    d.truth_sender = std::move(truth_sender);
    d.last_truth = {};
    d.contact_frames_dequeued = 0;
    d.touches_dequeued = 0;
    d.last_touch_dequeued = 0;
    d.faults.clear();
    d.stalls.clear();
    d.bad_indexes.clear();
    add_scenario_faults(d, settings);
    d.stall_until = {};
    d.opens = 0;
    d.frames_produced = 0;
    d.frames_dequeued = 0;
    d.sequence = 0;
    lock.unlock();
    trace_reset();
}

void add_scenario_faults(Device& d, const ScenarioSettings& settings) {
    for (const auto& fault : settings.faults) {
        d.faults.push_back({fault, 0});
    }
    for (const auto& stall : settings.stalls) {
        d.stalls.push_back({stall.after_frames, stall.duration});
    }
    d.bad_indexes.insert(d.bad_indexes.end(), settings.bad_indexes.begin(), settings.bad_indexes.end());
}

}  // namespace vsensor::detail
