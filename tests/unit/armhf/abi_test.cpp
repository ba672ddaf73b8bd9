// Checks the data model and the V4L2 structure layouts and request numbers each build is compiled for.
//
// The expected numbers are worked out by hand from the kernel's uapi header: an _IOWR request is
// (3 << 30) | (size << 16) | ('V' << 8) | nr. struct v4l2_buffer is 68 bytes on 32-bit ARM with a
// 32-bit time_t (a two-long timeval at offset 20), 80 with a 64-bit time_t (the 16-byte timeval is
// aligned to 8, at offset 24) and 88 on x86-64 (pointer-sized union member as well).
#include <sys/ioctl.h>
#include <sys/types.h>

#include <linux/videodev2.h>

#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <limits>
#include <string>

namespace {

enum class Build { x86_64, armhf, armhf_time64 };

constexpr Build this_build() {
#if defined(__x86_64__)
    return Build::x86_64;
#elif defined(__arm__) && defined(_TIME_BITS) && _TIME_BITS == 64
    return Build::armhf_time64;
#elif defined(__arm__)
    return Build::armhf;
#else
#error "unexpected target: the project builds for x86-64 and 32-bit ARM"
#endif
}

struct Expected {
    std::size_t size_t_bytes, long_bytes, pointer_bytes, time_t_bytes, off_t_bytes;
    std::size_t buffer_bytes, buffer_timestamp_at, buffer_m_at, buffer_length_at;
    std::size_t format_bytes;
    unsigned long querybuf, qbuf, dqbuf, s_fmt;
};

// Per build: {size_t, long, void*, time_t, off_t}, v4l2_buffer {size, .timestamp, .m, .length},
// v4l2_format size, then VIDIOC_QUERYBUF, VIDIOC_QBUF, VIDIOC_DQBUF, VIDIOC_S_FMT.
constexpr Expected expected_for(Build b) {
    switch (b) {
        case Build::x86_64:
            return {8,           8, 8, 8, 8, 88, 24, 64, 72, 208, 0xC0585609UL, 0xC058560FUL, 0xC0585611UL,
                    0xC0D05605UL};
        case Build::armhf:
            return {4,           4, 4, 4, 4, 68, 20, 52, 56, 204, 0xC0445609UL, 0xC044560FUL, 0xC0445611UL,
                    0xC0CC5605UL};
        case Build::armhf_time64:
            return {4,           4, 4, 8, 8, 80, 24, 64, 68, 204, 0xC0505609UL, 0xC050560FUL, 0xC0505611UL,
                    0xC0CC5605UL};
    }
    return {};
}

constexpr Expected want = expected_for(this_build());

TEST(DataModel, IntegerAndPointerWidthsMatchTheTarget) {
    EXPECT_EQ(sizeof(std::size_t), want.size_t_bytes);
    EXPECT_EQ(sizeof(long), want.long_bytes);
    EXPECT_EQ(sizeof(void*), want.pointer_bytes);
    EXPECT_EQ(sizeof(std::time_t), want.time_t_bytes);
    EXPECT_EQ(sizeof(off_t), want.off_t_bytes);
}

TEST(DataModel, FrameSizesFitInSizeT) {
    // A 640 x 480 UYVY frame and three of them: the largest sizes the capture path multiplies.
    constexpr std::uint64_t frame = 640ULL * 480ULL * 2ULL;
    EXPECT_EQ(frame, 614400U);
    EXPECT_EQ(static_cast<std::size_t>(3 * frame), 1843200U);
    EXPECT_GT(static_cast<std::uint64_t>(SIZE_MAX), 3 * frame);
}

TEST(DataModel, DoubleIsIeeeBinary64WithRoundToNearest) {
    // The correction tables are computed in double on both architectures and must agree bit for bit.
    EXPECT_EQ(sizeof(double), 8U);
    EXPECT_TRUE(std::numeric_limits<double>::is_iec559);
    EXPECT_EQ(std::numeric_limits<double>::digits, 53);
    EXPECT_EQ(std::numeric_limits<double>::round_style, std::round_to_nearest);
    volatile double third = 1.0;
    third = third / 3.0;
    EXPECT_EQ(third, 0x1.5555555555555p-2);  // correctly rounded 1/3
}

TEST(V4l2Abi, BufferLayout) {
    EXPECT_EQ(sizeof(v4l2_buffer), want.buffer_bytes);
    EXPECT_EQ(offsetof(v4l2_buffer, timestamp), want.buffer_timestamp_at);
    EXPECT_EQ(offsetof(v4l2_buffer, m), want.buffer_m_at);
    EXPECT_EQ(offsetof(v4l2_buffer, length), want.buffer_length_at);
    // Fields before the timestamp are the same on every build.
    EXPECT_EQ(offsetof(v4l2_buffer, index), 0U);
    EXPECT_EQ(offsetof(v4l2_buffer, bytesused), 8U);
    EXPECT_EQ(offsetof(v4l2_buffer, field), 16U);
}

TEST(V4l2Abi, FormatAndRequestBuffersLayout) {
    EXPECT_EQ(sizeof(v4l2_format), want.format_bytes);
    EXPECT_EQ(sizeof(v4l2_requestbuffers), 20U);
    EXPECT_EQ(sizeof(v4l2_capability), 104U);
}

struct Request {
    const char* name;
    unsigned long actual;
    unsigned long expected;
};

TEST(V4l2Abi, RequestNumbers) {
    const Request requests[] = {
        {"VIDIOC_QUERYBUF", static_cast<unsigned long>(VIDIOC_QUERYBUF), want.querybuf},
        {"VIDIOC_QBUF", static_cast<unsigned long>(VIDIOC_QBUF), want.qbuf},
        {"VIDIOC_DQBUF", static_cast<unsigned long>(VIDIOC_DQBUF), want.dqbuf},
        {"VIDIOC_S_FMT", static_cast<unsigned long>(VIDIOC_S_FMT), want.s_fmt},
        // The same on every build: no size-dependent argument.
        {"VIDIOC_REQBUFS", static_cast<unsigned long>(VIDIOC_REQBUFS), 0xC0145608UL},
        {"VIDIOC_QUERYCAP", static_cast<unsigned long>(VIDIOC_QUERYCAP), 0x80685600UL},
        {"VIDIOC_STREAMON", static_cast<unsigned long>(VIDIOC_STREAMON), 0x40045612UL},
        {"VIDIOC_STREAMOFF", static_cast<unsigned long>(VIDIOC_STREAMOFF), 0x40045613UL},
    };
    for (const auto& r : requests) {
        EXPECT_EQ(r.actual, r.expected)
            << r.name << std::hex << " is 0x" << r.actual << ", expected 0x" << r.expected;
    }
}

}  // namespace
