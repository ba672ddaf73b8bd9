// The V4L2 requests the emulated driver answers: capabilities, format, buffers and streaming,
// for every struct v4l2_buffer layout a client of this target may use. Each handler runs with
// the device's lock held, returns 0 or the errno of its failure, and sets the value the trace
// shows as its argument.
#include "driver.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <linux/videodev2.h>

#include "hooks.h"
#include "v4l2_abi.h"

namespace vsensor::detail {

namespace {

// A blocking DQBUF (device opened without O_NONBLOCK) gives up after this long.
constexpr auto blocking_dequeue_limit = std::chrono::seconds(10);
constexpr std::uint32_t max_buffers = 32;

std::uint32_t page_round(std::uint32_t length) {
    const auto page = static_cast<std::uint32_t>(sysconf(_SC_PAGESIZE));
    return (length + page - 1) / page * page;
}

// The checks every buffer and streaming request makes first: the capture type and
// memory-mapped buffers (EINVAL otherwise), then no other descriptor holding the buffers
// (EBUSY).
int check_request(const Device& d, int fd, std::uint32_t type, std::uint32_t memory) {
    if (type != V4L2_BUF_TYPE_VIDEO_CAPTURE || memory != V4L2_MEMORY_MMAP) {
        return EINVAL;
    }
    if (d.owner != nullptr && !holds_buffers(d, fd)) {
        return EBUSY;
    }
    return 0;
}

int do_querycap(const Device& d, void* arg) {
    auto* cap = static_cast<v4l2_capability*>(arg);
    std::memset(cap, 0, sizeof *cap);
    std::snprintf(reinterpret_cast<char*>(cap->driver), sizeof cap->driver, "vsensor");
    std::snprintf(reinterpret_cast<char*>(cap->card), sizeof cap->card, "Virtual fingerprint sensor");
    std::snprintf(reinterpret_cast<char*>(cap->bus_info), sizeof cap->bus_info, "platform:vsensor");
    cap->version = 0x00060100;
    // The V4L2 core adds the extended pixel format to every driver's capabilities.
    cap->device_caps =
        (d.config.capabilities & ~static_cast<std::uint32_t>(V4L2_CAP_DEVICE_CAPS)) | V4L2_CAP_EXT_PIX_FORMAT;
    cap->capabilities = cap->device_caps | V4L2_CAP_DEVICE_CAPS;
    return 0;
}

// The one format the sensor delivers: the configured size and pixel format, progressive,
// packed at two bytes a pixel with no padding, the extended fields at their defaults.
v4l2_pix_format supported_format(const Config& config) {
    v4l2_pix_format pix;
    std::memset(&pix, 0, sizeof pix);
    pix.width = config.width;
    pix.height = config.height;
    pix.pixelformat = config.pixelformat;
    pix.field = V4L2_FIELD_NONE;
    pix.bytesperline = config.width * 2;
    pix.sizeimage = config.width * config.height * 2;
    pix.colorspace = V4L2_COLORSPACE_SRGB;
    pix.priv = V4L2_PIX_FMT_PRIV_MAGIC;
    return pix;
}

// S_FMT as a capture driver answers it: never refused for the format asked. A request for the
// supported size and pixel format (any field order, or none) comes back as asked, with the
// line length and image size filled in; any other is adjusted to the supported format. The
// trace shows the pixel format the client asked for. G_FMT and TRY_FMT answer the same,
// and change nothing.
int do_fmt(const Device& d, unsigned long request, void* arg, std::int64_t& shown) {
    auto* format = static_cast<v4l2_format*>(arg);
    shown = format->fmt.pix.pixelformat;
    if (format->type != V4L2_BUF_TYPE_VIDEO_CAPTURE) {
        return EINVAL;
    }
    if (request == VIDIOC_S_FMT && d.owner != nullptr) {
        return EBUSY;  // the format is fixed while buffers exist
    }
    format->fmt.pix = supported_format(d.config);
    return 0;
}

int do_reqbufs(Device& d, int fd, void* arg, std::int64_t& shown) {
    auto* request = static_cast<v4l2_requestbuffers*>(arg);
    shown = request->count;
    if (const int refused = check_request(d, fd, request->type, request->memory); refused != 0) {
        return refused;
    }
    if (d.streaming) {
        return EBUSY;
    }
    release_buffers(d);
    // Buffers freed while still mapped stay valid until unmapped (orphaned).
    request->capabilities = V4L2_BUF_CAP_SUPPORTS_MMAP | V4L2_BUF_CAP_SUPPORTS_ORPHANED_BUFS;
    request->flags = 0;
    std::memset(request->reserved, 0, sizeof request->reserved);
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
    d.owner = d.descriptors.at(fd);
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
int do_querybuf(const Device& d, void* arg, std::int64_t& shown) {
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
    if (const int refused = check_request(d, fd, buffer->type, buffer->memory); refused != 0) {
        return refused;
    }
    if ((buffer->flags & V4L2_BUF_FLAG_REQUEST_FD) != 0) {
        return EBADR;  // no request API
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

// Waits (bounded) for a filled buffer when the descriptor blocks: 0 when one waits, else the
// errno of DQBUF (EAGAIN for a non-blocking descriptor, EIO after the limit, EINVAL when the
// stream stopped meanwhile).
int await_filled(Device& d, std::unique_lock<std::mutex>& lock, int fd) {
    if (!d.filled.empty()) {
        return 0;
    }
    if ((d.descriptors.at(fd)->flags & O_NONBLOCK) != 0) {
        return EAGAIN;
    }
    const auto deadline = steady::now() + blocking_dequeue_limit;
    if (!d.changed.wait_until(lock, deadline, [&] { return !d.streaming || !d.filled.empty(); })) {
        return EIO;
    }
    return d.streaming ? 0 : EINVAL;
}

template <typename Buffer>
int do_dqbuf(Device& d, std::unique_lock<std::mutex>& lock, int fd, void* arg, std::int64_t& shown) {
    auto* buffer = static_cast<Buffer*>(arg);
    shown = -1;
    if (const int refused = check_request(d, fd, buffer->type, buffer->memory); refused != 0) {
        return refused;
    }
    if (!d.streaming) {
        return EINVAL;
    }
    if (const int error = await_filled(d, lock, fd); error != 0) {
        return error;
    }
    const std::uint32_t index = d.filled.front();
    d.filled.pop_front();
    d.buffers[index].owner = Owner::user;
    std::uint64_t value = 0;
    if (real_read(fd, &value, sizeof value) != sizeof value) {
        std::fprintf(stderr, "vsensor: descriptor counter out of step: %s\n", std::strerror(errno));
    }
    ++d.frames_dequeued;
    count_dequeued_truth(d, d.buffers[index].truth);
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
    if (const int refused = check_request(d, fd, static_cast<std::uint32_t>(type), V4L2_MEMORY_MMAP);
        refused != 0) {
        return refused;
    }
    if (!holds_buffers(d, fd) || d.buffers.empty()) {
        return EINVAL;
    }
    return d.streaming ? 0 : start_producer(d);
}

int do_streamoff(Device& d, std::unique_lock<std::mutex>& lock, int fd, void* arg, std::int64_t& shown) {
    const int type = *static_cast<const int*>(arg);
    shown = type;
    if (const int refused = check_request(d, fd, static_cast<std::uint32_t>(type), V4L2_MEMORY_MMAP);
        refused != 0) {
        return refused;
    }
    d.streaming = false;
    stop_producer(d, lock);
    return_buffers(d);
    return 0;
}

// The requests the V4L2 core refuses (EBUSY) to an open of lower priority than another's.
bool changes_device(unsigned long request) {
    switch (request) {
        case VIDIOC_S_FMT:
        case VIDIOC_REQBUFS:
        case VIDIOC_STREAMON:
        case VIDIOC_STREAMOFF:
        case VIDIOC_S_PARM:
        case VIDIOC_S_INPUT:
        case VIDIOC_S_PRIORITY:
        case VIDIOC_S_CTRL:
        case VIDIOC_S_EXT_CTRLS:
            return true;
        default:
            return false;
    }
}

}  // namespace

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
        const bool answered = classify(request) != Call::other_ioctl || request == VIDIOC_G_FMT ||
                              request == VIDIOC_TRY_FMT || is_query(request);
        return answered ? EFAULT : ENOTTY;
    }
    if (changes_device(request) && !may_change(d, fd)) {
        return EBUSY;  // another open holds a higher priority
    }
    switch (request) {
        case VIDIOC_QUERYCAP:
            return do_querycap(d, arg);
        case VIDIOC_S_FMT:
        case VIDIOC_G_FMT:
        case VIDIOC_TRY_FMT:
            return do_fmt(d, request, arg, shown);
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
            return dispatch_query(d, fd, request, arg);
    }
}

}  // namespace vsensor::detail
