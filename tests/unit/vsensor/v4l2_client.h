// A small V4L2 capture client for the virtual sensor's tests: the calls a capture program
// makes, with every result and errno kept for the test to judge.
#pragma once

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <string>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/select.h>
#include <unistd.h>
#include <vector>

#include <linux/videodev2.h>

namespace vsensor_test {

// Result of one system call: its return value and the errno it left (0 on success).
struct Outcome {
    long result;
    int error;
};

// Calls `call` and captures errno when it fails.
template <typename Call>
Outcome attempt(Call call) {
    errno = 0;
    const long result = static_cast<long>(call());
    return {result, result < 0 ? errno : 0};
}

inline Outcome request(int fd, unsigned long number, void* arg) {
    return attempt([&] { return ::ioctl(fd, number, arg); });
}

// Repeats a request while it fails with EINTR, as a capture program must.
inline Outcome request_retrying(int fd, unsigned long number, void* arg, int* interruptions = nullptr) {
    for (;;) {
        const Outcome outcome = request(fd, number, arg);
        if (outcome.result != -1 || outcome.error != EINTR) {
            return outcome;
        }
        if (interruptions != nullptr) {
            ++*interruptions;
        }
    }
}

inline v4l2_buffer capture_buffer(std::uint32_t index) {
    v4l2_buffer buffer;
    std::memset(&buffer, 0, sizeof buffer);
    buffer.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    buffer.memory = V4L2_MEMORY_MMAP;
    buffer.index = index;
    return buffer;
}

inline v4l2_requestbuffers buffer_request(std::uint32_t count) {
    v4l2_requestbuffers request;
    std::memset(&request, 0, sizeof request);
    request.count = count;
    request.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
    request.memory = V4L2_MEMORY_MMAP;
    return request;
}

// A frame taken from the device: the dequeued buffer's description and a copy of its bytes.
struct Frame {
    v4l2_buffer buffer;
    std::vector<unsigned char> bytes;
};

// The capture sequence of a V4L2 client, one step per method. Each step returns false (and
// keeps the failing outcome in `last`) on failure; the destructor tears down what is left.
class Client {
public:
    explicit Client(std::string path) : path_(std::move(path)) {}
    ~Client() { stop(); }
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    bool open_device(int flags = O_RDWR | O_NONBLOCK) {
        last = attempt([&] { return ::open(path_.c_str(), flags); });
        fd = static_cast<int>(last.result);
        return fd >= 0;
    }

    bool query_capabilities(v4l2_capability& cap) {
        std::memset(&cap, 0, sizeof cap);
        last = request_retrying(fd, VIDIOC_QUERYCAP, &cap);
        return last.result == 0;
    }

    bool set_format(v4l2_format& format) {
        std::memset(&format, 0, sizeof format);
        format.type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        format.fmt.pix.width = 640;
        format.fmt.pix.height = 480;
        format.fmt.pix.pixelformat = V4L2_PIX_FMT_UYVY;
        last = request_retrying(fd, VIDIOC_S_FMT, &format);
        return last.result == 0;
    }

    // REQBUFS for `count`, then QUERYBUF and mmap of every granted buffer.
    bool map_buffers(std::uint32_t count = 3) {
        v4l2_requestbuffers request = buffer_request(count);
        last = request_retrying(fd, VIDIOC_REQBUFS, &request);
        if (last.result != 0) {
            return false;
        }
        granted = request.count;
        for (std::uint32_t i = 0; i < granted; ++i) {
            v4l2_buffer buffer = capture_buffer(i);
            last = request_retrying(fd, VIDIOC_QUERYBUF, &buffer);
            if (last.result != 0) {
                return false;
            }
            void* start =
                ::mmap(nullptr, buffer.length, PROT_READ | PROT_WRITE, MAP_SHARED, fd, buffer.m.offset);
            if (start == MAP_FAILED) {
                last = {-1, errno};
                return false;
            }
            maps.push_back({start, buffer.length});
        }
        return true;
    }

    bool queue(std::uint32_t index) {
        v4l2_buffer buffer = capture_buffer(index);
        last = request_retrying(fd, VIDIOC_QBUF, &buffer, &interruptions);
        return last.result == 0;
    }

    bool stream_on() {
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        last = request_retrying(fd, VIDIOC_STREAMON, &type, &interruptions);
        streaming_ = last.result == 0;
        return streaming_;
    }

    // Open, query, format, map `count` buffers, queue the first three, stream on.
    bool start(std::uint32_t count = 3) {
        v4l2_capability cap;
        v4l2_format format;
        if (!open_device() || !query_capabilities(cap) || !set_format(format) || !map_buffers(count)) {
            return false;
        }
        for (std::uint32_t i = 0; i < 3 && i < granted; ++i) {
            if (!queue(i)) {
                return false;
            }
        }
        return stream_on();
    }

    // select() on the descriptor: 1 readable, 0 timed out, -1 error.
    int wait_readable(std::chrono::milliseconds timeout) const {
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(fd, &readable);
        timeval limit{static_cast<time_t>(timeout.count() / 1000),
                      static_cast<suseconds_t>(timeout.count() % 1000 * 1000)};
        return ::select(fd + 1, &readable, nullptr, nullptr, &limit);
    }

    Outcome dequeue(v4l2_buffer& buffer) {
        buffer = capture_buffer(0);
        last = request_retrying(fd, VIDIOC_DQBUF, &buffer, &interruptions);
        return last;
    }

    // Waits for a filled buffer (bounded), dequeues it, copies its bytes and queues it again.
    std::optional<Frame> next_frame(std::chrono::milliseconds timeout = std::chrono::milliseconds(10000)) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            if (wait_readable(std::chrono::milliseconds(100)) <= 0) {
                continue;
            }
            Frame frame;
            if (dequeue(frame.buffer).result != 0) {
                if (last.error == EAGAIN) {
                    continue;
                }
                return std::nullopt;
            }
            if (frame.buffer.index >= maps.size()) {
                return std::nullopt;
            }
            const auto* start = static_cast<const unsigned char*>(maps[frame.buffer.index].start);
            frame.bytes.assign(start, start + frame.buffer.bytesused);
            if (!queue(frame.buffer.index)) {
                return std::nullopt;
            }
            return frame;
        }
        return std::nullopt;
    }

    // STREAMOFF, munmap, REQBUFS 0, close: whatever of it applies.
    void stop() {
        if (fd < 0) {
            for (const auto& map : maps) {
                ::munmap(map.start, map.length);
            }
            maps.clear();
            return;
        }
        int type = V4L2_BUF_TYPE_VIDEO_CAPTURE;
        request_retrying(fd, VIDIOC_STREAMOFF, &type);
        streaming_ = false;
        for (const auto& map : maps) {
            ::munmap(map.start, map.length);
        }
        maps.clear();
        v4l2_requestbuffers release = buffer_request(0);
        request_retrying(fd, VIDIOC_REQBUFS, &release);
        while (::close(fd) == -1 && errno == EINTR) {
        }
        fd = -1;
    }

    struct Mapping {
        void* start;
        std::size_t length;
    };

    int fd = -1;
    std::uint32_t granted = 0;
    std::vector<Mapping> maps;
    Outcome last{0, 0};
    int interruptions = 0;

private:
    std::string path_;
    bool streaming_ = false;
};

}  // namespace vsensor_test
