// The V4L2 structures and request numbers the emulated driver accepts, for every ABI a client
// of this target may be built with.
#pragma once

#include <cstdint>
#include <linux/videodev2.h>

namespace vsensor::abi {

// The native layout: what <linux/videodev2.h> gives this library, built without 64-bit time
// flags (x86-64: 88 bytes; 32-bit ARM: 68 bytes).
using buffer_native = struct v4l2_buffer;

constexpr unsigned long querybuf_native = VIDIOC_QUERYBUF;
constexpr unsigned long qbuf_native = VIDIOC_QBUF;
constexpr unsigned long dqbuf_native = VIDIOC_DQBUF;

#if __SIZEOF_LONG__ == 4
// On a 32-bit target, a client built with 64-bit time_t sees struct timeval as two 64-bit
// fields aligned to 8 bytes, which grows struct v4l2_buffer to 80 bytes and changes the
// QUERYBUF, QBUF and DQBUF request numbers (the size is part of the number). The kernel
// accepts both; so does this driver.
struct timeval_time64 {
    std::int64_t tv_sec;
    std::int64_t tv_usec;
};

struct buffer_time64 {
    std::uint32_t index;
    std::uint32_t type;
    std::uint32_t bytesused;
    std::uint32_t flags;
    std::uint32_t field;
    timeval_time64 timestamp;
    struct v4l2_timecode timecode;
    std::uint32_t sequence;
    std::uint32_t memory;
    union {
        std::uint32_t offset;
        unsigned long userptr;
        struct v4l2_plane* planes;
        std::int32_t fd;
    } m;
    std::uint32_t length;
    std::uint32_t reserved2;
    union {
        std::int32_t request_fd;
        std::uint32_t reserved;
    };
};
static_assert(sizeof(buffer_time64) == 80, "32-bit v4l2_buffer with 64-bit time is 80 bytes");
static_assert(sizeof(buffer_native) == 68, "32-bit v4l2_buffer with 32-bit time is 68 bytes");

constexpr unsigned long querybuf_time64 = _IOWR('V', 9, buffer_time64);
constexpr unsigned long qbuf_time64 = _IOWR('V', 15, buffer_time64);
constexpr unsigned long dqbuf_time64 = _IOWR('V', 17, buffer_time64);
#define VSENSOR_HAVE_TIME64_LAYOUT 1
#else
static_assert(sizeof(buffer_native) == 88, "64-bit v4l2_buffer is 88 bytes");
#endif

}  // namespace vsensor::abi
