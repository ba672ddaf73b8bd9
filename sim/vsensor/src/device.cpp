// The emulated V4L2 capture driver behind the interposed calls: descriptors, buffers, the
// producer thread, faults, counters and the control API of vsensor.h.
//
// Locks, always taken in this order and never the other way: the device's, the mappings',
// the trace's. A descriptor handed out is an eventfd in semaphore mode whose counter equals the
// number of filled buffers waiting, so the client's own select/poll works on it. Buffer memory
// is a memfd; the client maps it through mmap of the device descriptor, and the producer fills
// it with pwrite, so the driver holds no mapping of its own.
#include "hooks.h"
#include "internal.h"
#include "v4l2_abi.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <fcntl.h>
#include <functional>
#include <map>
#include <optional>
#include <stdexcept>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <thread>
#include <unistd.h>

#include <linux/videodev2.h>

namespace vsensor::detail {

namespace {

using steady = std::chrono::steady_clock;

// A blocking DQBUF (device opened without O_NONBLOCK) gives up after this long.
constexpr auto blocking_dequeue_limit = std::chrono::seconds(10);
constexpr std::uint32_t max_buffers = 32;

enum class Owner { user, queued, filling, filled };

struct BufferState {
    Owner owner = Owner::user;
    std::uint32_t bytesused = 0;
    std::uint32_t sequence = 0;
    timespec stamp{};
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

struct Device {
    std::mutex mutex;
    std::condition_variable changed;
    Config config;
    std::shared_ptr<const FrameSource> source = std::make_shared<FrameSource>(Timeline{}, 1, 30.0);

    std::vector<FaultState> faults;
    std::vector<StallState> stalls;
    std::vector<ScenarioSettings::BadIndex> bad_indexes;

    std::map<int, int> descriptors;  // open descriptor -> open flags
    int owner = -1;                  // the descriptor that holds the buffers
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
};

Device& device() {
    // Never destroyed: calls may be intercepted while the process exits.
    static Device* instance = new Device;
    return *instance;
}

struct Mappings {
    std::mutex mutex;
    std::map<std::uintptr_t, std::size_t> live;  // start -> length
};

Mappings& mappings() {
    static Mappings* instance = new Mappings;
    return *instance;
}

void record(Call call, unsigned long request, int fd, std::int64_t arg, std::int64_t result, int error) {
    trace_record(TraceEntry{call, request, fd, arg, result, result < 0 ? error : 0, steady::now()});
}

std::uint32_t page_round(std::uint32_t length) {
    const auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

// The configured fault for this call, if one fires now (every fault counts every call of its
// kind, and the first that fires decides).
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

// Stops and joins the producer, if one runs. The lock is released while joining.
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

// Every buffer back with the client, and the descriptor's counter at zero.
void return_buffers(Device& d) {
    d.queued.clear();
    d.filled.clear();
    for (auto& buffer : d.buffers) {
        buffer.owner = Owner::user;
    }
    if (d.owner >= 0) {
        std::uint64_t value = 0;
        while (::read(d.owner, &value, sizeof value) == sizeof value) {
        }
    }
}

// Frees the buffers; mappings the client still holds stay valid (they keep the memory).
void release_buffers(Device& d) {
    return_buffers(d);
    d.buffers.clear();
    if (d.memfd >= 0) {
        ::close(d.memfd);
        d.memfd = -1;
    }
    d.owner = -1;
    d.stride = 0;
}

void produce(Device& d, std::uint64_t generation) {
    std::vector<unsigned char> frame(frame_bytes);
    ReplayCursor cursor;
    std::unique_lock<std::mutex> lock(d.mutex);
    while (d.producer_generation == generation) {
        const auto now = steady::now();
        for (auto& stall : d.stalls) {
            if (!stall.fired && d.frames_produced >= stall.after_frames) {
                stall.fired = true;
                d.stall_until = std::max(d.stall_until, now + stall.duration);
            }
        }
        if (now < d.stall_until) {
            d.changed.wait_until(lock, d.stall_until);
            continue;
        }
        if (d.config.fps > 0.0 && now < d.next_due) {
            d.changed.wait_until(lock, d.next_due);
            continue;
        }
        if (d.queued.empty()) {
            d.changed.wait_for(lock, std::chrono::milliseconds(200));
            continue;
        }
        const std::uint32_t index = d.queued.front();
        d.queued.pop_front();
        d.buffers[index].owner = Owner::filling;
        const std::uint64_t number = d.frames_produced;
        const std::shared_ptr<const FrameSource> source = d.source;
        const int memfd = d.memfd;
        const off_t offset = static_cast<off_t>(index) * d.stride;
        const std::size_t length = std::min<std::size_t>(d.config.buffer_length, frame_bytes);
        lock.unlock();

        source->render(number, frame.data(), cursor);
        const ssize_t written = ::pwrite(memfd, frame.data(), length, offset);

        lock.lock();
        if (d.producer_generation != generation) {
            break;
        }
        BufferState& buffer = d.buffers[index];
        buffer.owner = Owner::filled;
        buffer.bytesused = written > 0 ? static_cast<std::uint32_t>(written) : 0;
        buffer.sequence = d.sequence++;
        clock_gettime(CLOCK_MONOTONIC, &buffer.stamp);
        d.filled.push_back(index);
        ++d.frames_produced;
        const std::uint64_t one = 1;
        if (::write(d.owner, &one, sizeof one) != sizeof one) {
            std::fprintf(stderr, "vsensor: cannot signal a filled buffer: %s\n", std::strerror(errno));
        }
        if (d.config.fps > 0.0) {
            const auto period = std::chrono::duration_cast<steady::duration>(
                std::chrono::duration<double>(1.0 / d.config.fps));
            d.next_due = std::max(d.next_due + period, now);
        }
        d.changed.notify_all();
    }
}

// ---- V4L2 requests. Each returns 0 or the errno of its failure, and sets the value the
// trace shows as its argument.

int do_querycap(Device& d, void* arg) {
    auto* cap = static_cast<v4l2_capability*>(arg);
    std::memset(cap, 0, sizeof *cap);
    std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "vsensor");
    std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "Virtual fingerprint sensor");
    std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof cap->bus_info, "platform:vsensor");
    cap->version = 0x00060100;
    cap->capabilities = d.config.capabilities;
    cap->device_caps = d.config.capabilities & ~static_cast<std::uint32_t>(V4L2_CAP_DEVICE_CAPS);
    return 0;
}

void write_format(const Device& d, v4l2_format* format) {
    auto& pix = format->fmt.pix;
    pix.width = d.config.width;
    pix.height = d.config.height;
    pix.pixelformat = d.config.pixelformat;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = d.config.width * 2;
    pix.sizeimage = d.config.width * d.config.height * 2;
    pix.colorspace = V4L2_COLORSPACE_SRGB;
}

int do_s_fmt(Device& d, void* arg, std::int64_t& shown) {
    auto* format = static_cast<v4l2_format*>(arg);
    shown = format->fmt.pix.pixelformat;
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return EINVAL;
    }
    if (d.owner >= 0) {
        return EBUSY;  // the format is fixed while buffers exist
    }
    write_format(d, format);
    return 0;
}

int do_g_fmt(Device& d, void* arg) {
    auto* format = static_cast<v4l2_format*>(arg);
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return EINVAL;
    }
    write_format(d, format);
    return 0;
}

int do_reqbufs(Device& d, int fd, void* arg, std::int64_t& shown) {
    auto* request = static_cast<v4l2_requestbuffers*>(arg);
    shown = request->count;
    if (request->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || request->memory != V4L2_MEMORY_MMAP) {
        return EINVAL;
    }
    if (d.owner >= 0 && d.owner != fd) {
        return EBUSY;
    }
    if (d.streaming) {
        return EBUSY;
    }
    release_buffers(d);
    request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP;
    if (request->count == 0) {
        return 0;
    }
    const std::uint32_t granted =
        d.config.granted_buffers != 0 ? d.config.granted_buffers : std::min(request->count, max_buffers);
    const std::uint32_t stride = page_round(d.config.buffer_length);
    const int memfd = memfd_create("vsensor-buffers", MFD_CLOEXEC);
    if (memfd < 0) {
        return errno;
    }
    if (ftruncate(memfd, static_cast<off_t>(granted) * stride) != 0) {
        const int error = errno;
        ::close(memfd);
        return error;
    }
    d.memfd = memfd;
    d.stride = stride;
    d.buffers.assign(granted, BufferState{});
    d.owner = fd;
    request->count = granted;
    return 0;
}

std::uint32_t buffer_flags(const BufferState& buffer) {
    std::uint32_t flags = V4L2_BUF_FLAG_MAPPED | V4L2_BUF_FLAG_TIMESTAMP_MONOTONIC;
    if (buffer.owner != Owner::user) {
        flags |= V4L2_BUF_FLAG_QUEUED;
    }
    if (buffer.owner == Owner::filled) {
        flags |= V4L2_BUF_FLAG_DONE;
    }
    return flags;
}

// Fills the driver's side of a struct v4l2_buffer of either layout.
template <typename Buffer>
void describe(const Device& d, std::uint32_t index, Buffer* out) {
    const BufferState& state = d.buffers[index];
    out->index = index;
    out->type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    out->memory = V4L2_MEMORY_MMAP;
    out->flags = buffer_flags(state);
    out->field = V4L2_FIELD_NONE;
    out->bytesused = state.owner == Owner::filled || state.owner == Owner::user ? state.bytesused : 0;
    out->sequence = state.sequence;
    out->timestamp.tv_sec = state.stamp.tv_sec;
    out->timestamp.tv_usec = state.stamp.tv_nsec / 1000;
    out->m.offset = index * d.stride;
    out->length = d.config.buffer_length;
}

template <typename Buffer>
int do_querybuf(Device& d, void* arg, std::int64_t& shown) {
    auto* buffer = static_cast<Buffer*>(arg);
    shown = buffer->index;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->index >= d.buffers.size()) {
        return EINVAL;
    }
    describe(d, buffer->index, buffer);
    return 0;
}

template <typename Buffer>
int do_qbuf(Device& d, int fd, void* arg, std::int64_t& shown) {
    auto* buffer = static_cast<Buffer*>(arg);
    shown = buffer->index;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP) {
        return EINVAL;
    }
    if (d.owner >= 0 && d.owner != fd) {
        return EBUSY;
    }
    if (buffer->index >= d.buffers.size() || d.buffers[buffer->index].owner != Owner::user) {
        return EINVAL;
    }
    d.buffers[buffer->index].owner = Owner::queued;
    d.buffers[buffer->index].bytesused = 0;
    d.queued.push_back(buffer->index);
    describe(d, buffer->index, buffer);
    d.changed.notify_all();
    return 0;
}

template <typename Buffer>
int do_dqbuf(Device& d, std::unique_lock<std::mutex>& lock, int fd, void* arg, std::int64_t& shown) {
    auto* buffer = static_cast<Buffer*>(arg);
    shown = -1;
    if (buffer->type != V4L2_BUF_TYPE_VIDEO_CAPTURE || buffer->memory != V4L2_MEMORY_MMAP) {
        return EINVAL;
    }
    if (d.owner >= 0 && d.owner != fd) {
        return EBUSY;
    }
    if (!d.streaming) {
        return EINVAL;
    }
    if (d.filled.empty()) {
        if ((d.descriptors[fd] & O_NONBLOCK) != 0) {
            return EAGAIN;
        }
        const auto deadline = steady::now() + blocking_dequeue_limit;
        if (!d.changed.wait_until(lock, deadline, [&] { return !d.streaming || !d.filled.empty(); })) {
            return EIO;
        }
        if (!d.streaming) {
            return EINVAL;
        }
    }
    const std::uint32_t index = d.filled.front();
    d.filled.pop_front();
    d.buffers[index].owner = Owner::user;
    std::uint64_t value = 0;
    if (::read(fd, &value, sizeof value) != sizeof value) {
        std::fprintf(stderr, "vsensor: descriptor counter out of step: %s\n", std::strerror(errno));
    }
    ++d.frames_dequeued;
    describe(d, index, buffer);
    for (const auto& bad : d.bad_indexes) {
        if (bad.nth == d.frames_dequeued) {
            buffer->index = bad.index;
        }
    }
    shown = buffer->index;
    d.changed.notify_all();
    return 0;
}

int do_streamon(Device& d, int fd, void* arg, std::int64_t& shown) {
    const int type = *static_cast<const int*>(arg);
    shown = type;
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return EINVAL;
    }
    if (d.owner >= 0 && d.owner != fd) {
        return EBUSY;
    }
    if (d.owner != fd || d.buffers.empty()) {
        return EINVAL;
    }
    if (d.streaming) {
        return 0;
    }
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

int do_streamoff(Device& d, std::unique_lock<std::mutex>& lock, int fd, void* arg, std::int64_t& shown) {
    const int type = *static_cast<const int*>(arg);
    shown = type;
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return EINVAL;
    }
    if (d.owner >= 0 && d.owner != fd) {
        return EBUSY;
    }
    d.streaming = false;
    stop_producer(d, lock);
    return_buffers(d);
    return 0;
}

Call classify(unsigned long request) {
    switch (request) {
        case VIDIOC_QUERYCAP:
            return Call::querycap;
        case VIDIOC_S_FMT:
            return Call::s_fmt;
        case VIDIOC_REQBUFS:
            return Call::reqbufs;
        case abi::querybuf_native:
            return Call::querybuf;
        case abi::qbuf_native:
            return Call::qbuf;
        case abi::dqbuf_native:
            return Call::dqbuf;
#ifdef VSENSOR_HAVE_TIME64_LAYOUT
        case abi::querybuf_time64:
            return Call::querybuf;
        case abi::qbuf_time64:
            return Call::qbuf;
        case abi::dqbuf_time64:
            return Call::dqbuf;
#endif
        case VIDIOC_STREAMON:
            return Call::streamon;
        case VIDIOC_STREAMOFF:
            return Call::streamoff;
        default:
            return Call::other_ioctl;
    }
}

int dispatch(Device& d, std::unique_lock<std::mutex>& lock, int fd, unsigned long request, void* arg,
             std::int64_t& shown) {
    if (arg == nullptr && request != VIDIOC_LOG_STATUS) {
        return EFAULT;
    }
    switch (request) {
        case VIDIOC_QUERYCAP:
            return do_querycap(d, arg);
        case VIDIOC_S_FMT:
            return do_s_fmt(d, arg, shown);
        case VIDIOC_G_FMT:
            return do_g_fmt(d, arg);
        case VIDIOC_REQBUFS:
            return do_reqbufs(d, fd, arg, shown);
        case abi::querybuf_native:
            return do_querybuf<abi::buffer_native>(d, arg, shown);
        case abi::qbuf_native:
            return do_qbuf<abi::buffer_native>(d, fd, arg, shown);
        case abi::dqbuf_native:
            return do_dqbuf<abi::buffer_native>(d, lock, fd, arg, shown);
#ifdef VSENSOR_HAVE_TIME64_LAYOUT
        case abi::querybuf_time64:
            return do_querybuf<abi::buffer_time64>(d, arg, shown);
        case abi::qbuf_time64:
            return do_qbuf<abi::buffer_time64>(d, fd, arg, shown);
        case abi::dqbuf_time64:
            return do_dqbuf<abi::buffer_time64>(d, lock, fd, arg, shown);
#endif
        case VIDIOC_STREAMON:
            return do_streamon(d, fd, arg, shown);
        case VIDIOC_STREAMOFF:
            return do_streamoff(d, lock, fd, arg, shown);
        default:
            return ENOTTY;
    }
}

// Hands `path` to the interposer's pre-check. Every path handed over stays alive: an open()
// in flight may still be comparing with it. Called with the device's lock held.
void publish_device_path(const std::string& path) {
    static auto* published = new std::deque<std::string>;
    if (!published->empty() && published->back() == path) {
        return;
    }
    published->push_back(path);
    set_device_path_text(published->back().c_str());
}

// Replaces the whole state: `requested` with its scenario's lines applied, then `overrides`.
void install(const Config& requested, const std::function<void(Config&)>& overrides) {
    validate(requested);
    const ScenarioSettings settings = parse_scenario(requested.scenario);
    Config config = requested;
    apply_settings(settings, config);
    if (overrides) {
        overrides(config);
    }
    validate(config);
    auto source = std::make_shared<const FrameSource>(settings.timeline, config.seed, config.fps);

    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (!d.descriptors.empty()) {
        throw std::logic_error("vsensor::configure: the device is open (" +
                               std::to_string(d.descriptors.size()) + " descriptors)");
    }
    d.config = config;
    publish_device_path(config.device_path);
    d.source = std::move(source);
    d.faults.clear();
    d.stalls.clear();
    d.bad_indexes = settings.bad_indexes;
    for (const auto& fault : settings.faults) {
        d.faults.push_back({fault, 0});
    }
    for (const auto& stall : settings.stalls) {
        d.stalls.push_back({stall.after_frames, stall.duration});
    }
    d.stall_until = {};
    d.opens = 0;
    d.frames_produced = 0;
    d.frames_dequeued = 0;
    d.sequence = 0;
    lock.unlock();
    trace_reset();
}

}  // namespace

// ---- Hooks called by the interposer.

bool hook_open(const char* path, int flags, int* result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.config.device_path != path) {
        return false;
    }
    int error = inject(d, Call::open);
    int fd = -1;
    if (error == 0) {
        fd = eventfd(0, EFD_SEMAPHORE | EFD_NONBLOCK | ((flags & O_CLOEXEC) != 0 ? EFD_CLOEXEC : 0));
        if (fd < 0) {
            error = errno;
        } else if (fd >= max_device_descriptor) {
            real_close(fd);
            fd = -1;
            error = EMFILE;
        }
    }
    if (error == 0) {
        d.descriptors[fd] = flags;
        set_device_fd(fd, true);
        ++d.opens;
    }
    record(Call::open, 0, fd, flags, error == 0 ? fd : -1, error);
    *result = error == 0 ? fd : -1;
    errno = error != 0 ? error : errno;
    return true;
}

bool hook_ioctl(int fd, unsigned long request, void* arg, int* result) {
    if (!is_device_fd(fd)) {
        return false;
    }
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    const Call call = classify(request);
    std::int64_t shown = 0;
    int error = inject(d, call);
    if (error == 0) {
        error = dispatch(d, lock, fd, request, arg, shown);
    } else if (arg != nullptr) {
        // The argument still tells the trace which buffer or count a failed call was for.
        if (call == Call::qbuf || call == Call::querybuf) {
            shown = static_cast<const v4l2_buffer*>(arg)->index;
        } else if (call == Call::dqbuf) {
            shown = -1;
        } else if (call == Call::reqbufs) {
            shown = static_cast<const v4l2_requestbuffers*>(arg)->count;
        }
    }
    record(call, request, fd, shown, error == 0 ? 0 : -1, error);
    *result = error == 0 ? 0 : -1;
    errno = error != 0 ? error : errno;
    return true;
}

bool hook_mmap(void* addr, std::size_t length, int prot, int flags, int fd, std::int64_t offset,
               void** result) {
    Device& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    int error = inject(d, Call::mmap);
    void* address = MAP_FAILED;
    if (error == 0) {
        const std::uint64_t index = d.stride != 0 ? static_cast<std::uint64_t>(offset) / d.stride : 0;
        if (d.owner != fd || d.buffers.empty() || d.stride == 0 || offset < 0 || offset % d.stride != 0 ||
            index >= d.buffers.size() || length == 0 || length > d.stride || (flags & MAP_SHARED) == 0) {
            error = EINVAL;
        } else {
            address = real_mmap(addr, length, prot, flags, d.memfd, offset);
            if (address == MAP_FAILED) {
                error = errno;
            }
        }
    }
    if (error == 0) {
        Mappings& maps = mappings();
        std::lock_guard<std::mutex> maps_lock(maps.mutex);
        maps.live[reinterpret_cast<std::uintptr_t>(address)] = length;
        set_live_mapping_count(static_cast<int>(maps.live.size()));
    }
    record(Call::mmap, 0, fd, static_cast<std::int64_t>(length),
           error == 0 ? static_cast<std::int64_t>(reinterpret_cast<std::uintptr_t>(address)) : -1, error);
    *result = address;
    errno = error != 0 ? error : errno;
    return true;
}

bool hook_munmap(void* addr, std::size_t length, int* result) {
    Mappings& maps = mappings();
    std::lock_guard<std::mutex> lock(maps.mutex);
    const auto found = maps.live.find(reinterpret_cast<std::uintptr_t>(addr));
    if (found == maps.live.end()) {
        return false;
    }
    const int outcome = real_munmap(addr, length);
    const int error = outcome == 0 ? 0 : errno;
    if (outcome == 0) {
        maps.live.erase(found);
        set_live_mapping_count(static_cast<int>(maps.live.size()));
    }
    record(Call::munmap, 0, -1, static_cast<std::int64_t>(length), outcome, error);
    *result = outcome;
    errno = error != 0 ? error : errno;
    return true;
}

bool hook_close(int fd, int* result) {
    Device& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    if (d.descriptors.count(fd) == 0) {
        return false;
    }
    const int error = inject(d, Call::close);
    if (error != 0) {
        record(Call::close, 0, fd, 0, -1, error);
        *result = -1;
        errno = error;
        return true;
    }
    if (d.owner == fd) {
        d.streaming = false;
        stop_producer(d, lock);
        release_buffers(d);
    }
    d.descriptors.erase(fd);
    set_device_fd(fd, false);
    const int outcome = real_close(fd);
    const int close_error = outcome == 0 ? 0 : errno;
    record(Call::close, 0, fd, 0, outcome, close_error);
    *result = outcome;
    errno = close_error != 0 ? close_error : errno;
    return true;
}

void note_foreign_ioctl(int fd, unsigned long request, int result, int error) {
    if (_IOC_TYPE(request) != 'V') {
        return;
    }
    record(classify(request), request, fd, 0, result, error);
}

}  // namespace vsensor::detail

namespace vsensor {

using detail::device;

void configure(const Config& config) {
    detail::install(config, nullptr);
}

Config current_config() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    return d.config;
}

void set_scenario(const std::string& text) {
    const detail::ScenarioSettings settings = detail::parse_scenario(text);
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    Config config = d.config;
    config.scenario = text;
    detail::apply_settings(settings, config);
    detail::validate(config);
    d.config = config;
    detail::publish_device_path(config.device_path);
    d.source = std::make_shared<const detail::FrameSource>(settings.timeline, config.seed, config.fps);
    for (const auto& fault : settings.faults) {
        d.faults.push_back({fault, 0});
    }
    for (const auto& stall : settings.stalls) {
        d.stalls.push_back({stall.after_frames, stall.duration});
    }
    d.bad_indexes.insert(d.bad_indexes.end(), settings.bad_indexes.begin(), settings.bad_indexes.end());
    d.changed.notify_all();
}

void add_fault(const Fault& fault) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.faults.push_back({fault, 0});
}

void add_stall(std::uint64_t after_frames, std::chrono::milliseconds duration) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.stalls.push_back({after_frames, duration});
    d.changed.notify_all();
}

void add_bad_index(std::uint64_t nth, std::uint32_t index) {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.bad_indexes.push_back({nth, index});
}

void clear_faults() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    d.faults.clear();
    d.stalls.clear();
    d.bad_indexes.clear();
    d.stall_until = {};
    d.changed.notify_all();
}

Counters counters() {
    auto& d = device();
    std::lock_guard<std::mutex> lock(d.mutex);
    Counters result{};
    result.open_descriptors = static_cast<int>(d.descriptors.size());
    result.opens = d.opens;
    result.frames_produced = d.frames_produced;
    result.frames_dequeued = d.frames_dequeued;
    result.streaming = d.streaming;
    auto& maps = detail::mappings();
    std::lock_guard<std::mutex> maps_lock(maps.mutex);
    result.live_mappings = static_cast<int>(maps.live.size());
    return result;
}

}  // namespace vsensor

std::uint64_t vsensor_frames_dequeued() {
    return vsensor::counters().frames_dequeued;
}

namespace vsensor {

bool wait_frames_dequeued(std::uint64_t n, std::chrono::milliseconds timeout) {
    auto& d = device();
    std::unique_lock<std::mutex> lock(d.mutex);
    return d.changed.wait_for(lock, timeout, [&] { return d.frames_dequeued >= n; });
}

std::vector<unsigned char> frame_at(std::uint64_t n) {
    std::shared_ptr<const detail::FrameSource> source;
    {
        auto& d = device();
        std::lock_guard<std::mutex> lock(d.mutex);
        source = d.source;
    }
    std::vector<unsigned char> frame(detail::frame_bytes);
    detail::ReplayCursor cursor;
    source->render(n, frame.data(), cursor);
    return frame;
}

}  // namespace vsensor

namespace {

// Whole content of a file; throws std::runtime_error naming the path and the error.
std::string read_text_file(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        throw std::runtime_error("cannot read scenario file " + path + ": " + std::strerror(errno));
    }
    std::string text;
    char chunk[4096];
    std::size_t got = 0;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    const bool failed = std::ferror(file) != 0;
    const int error = errno;
    std::fclose(file);
    if (failed) {
        throw std::runtime_error("cannot read scenario file " + path + ": " + std::strerror(error));
    }
    return text;
}

// Out-of-process configuration: VSENSOR_DEVICE, VSENSOR_FPS, VSENSOR_SCENARIO (a file),
// VSENSOR_TRACE (a file) and VSENSOR_SEED. The variables win over the scenario file's lines.
// Bad input ends the process here, with one line on stderr, rather than leaving it to run
// half-configured.
__attribute__((constructor)) void configure_from_environment() {
    const char* device_path = std::getenv("VSENSOR_DEVICE");
    const char* fps = std::getenv("VSENSOR_FPS");
    const char* scenario = std::getenv("VSENSOR_SCENARIO");
    const char* trace = std::getenv("VSENSOR_TRACE");
    const char* seed = std::getenv("VSENSOR_SEED");
    if (device_path == nullptr && fps == nullptr && scenario == nullptr && trace == nullptr &&
        seed == nullptr) {
        return;
    }
    std::string problem;
    try {
        vsensor::Config config;
        if (scenario != nullptr && *scenario != '\0') {
            config.scenario = read_text_file(scenario);
        }
        std::optional<double> fps_value;
        if (fps != nullptr) {
            char* end = nullptr;
            const double value = std::strtod(fps, &end);
            if (*fps == '\0' || end == nullptr || *end != '\0' || !(value >= 0.0 && value <= 1000.0)) {
                throw std::invalid_argument(std::string("VSENSOR_FPS: impossible frame rate '") + fps +
                                            "' (0 to 1000)");
            }
            fps_value = value;
        }
        std::optional<std::uint32_t> seed_value;
        if (seed != nullptr) {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(seed, &end, 10);
            if (*seed == '\0' || *seed == '-' || end == nullptr || *end != '\0' || value > 0xFFFFFFFFull) {
                throw std::invalid_argument(std::string("VSENSOR_SEED: bad seed '") + seed + "'");
            }
            seed_value = static_cast<std::uint32_t>(value);
        }
        try {
            vsensor::detail::install(config, [&](vsensor::Config& applied) {
                if (device_path != nullptr) {
                    applied.device_path = device_path;
                }
                if (fps_value) {
                    applied.fps = *fps_value;
                }
                if (seed_value) {
                    applied.seed = *seed_value;
                }
            });
        } catch (const std::invalid_argument& error) {
            if (scenario != nullptr) {
                throw std::invalid_argument(std::string("VSENSOR_SCENARIO ") + scenario + ": " +
                                            error.what());
            }
            throw;
        }
        if (trace != nullptr && *trace != '\0') {
            vsensor::set_trace_file(trace);
        }
        return;
    } catch (const std::exception& error) {
        problem = error.what();
    }
    std::fprintf(stderr, "vsensor: %s\n", problem.c_str());
    std::fflush(stderr);
    std::_Exit(2);
}

// A process that exits with the device still streaming must not keep a producer running
// while the runtime tears down.
__attribute__((destructor)) void stop_at_exit() {
    auto& d = vsensor::detail::device();
    std::unique_lock<std::mutex> lock(d.mutex);
    d.streaming = false;
    vsensor::detail::stop_producer(d, lock);
}

}  // namespace
