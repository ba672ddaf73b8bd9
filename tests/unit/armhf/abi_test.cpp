// The data model, V4L2 sizes and request numbers each build is compiled for (the board is 32-bit ARM,
// newer board images use a 64-bit time_t). By hand from the uapi header: _IOWR is (3 << 30) |
// (size << 16) | ('V' << 8) | nr; v4l2_buffer is 68 bytes on ARM, 80 with 64-bit time, 88 on x86-64.
#include <sys/types.h>

#include <linux/videodev2.h>

#include <cstddef>
#include <ctime>

#include <gtest/gtest.h>

namespace {

struct Abi {
    std::size_t size_t_bytes, time_t_bytes, off_t_bytes, buffer_bytes, format_bytes;
    unsigned long querybuf, qbuf, dqbuf, s_fmt;
};

#if defined(__x86_64__)
constexpr Abi want{8, 8, 8, 88, 208, 0xC0585609UL, 0xC058560FUL, 0xC0585611UL, 0xC0D05605UL};
#elif defined(__arm__) && defined(_TIME_BITS) && _TIME_BITS == 64
constexpr Abi want{4, 8, 8, 80, 204, 0xC0505609UL, 0xC050560FUL, 0xC0505611UL, 0xC0CC5605UL};
#elif defined(__arm__)
constexpr Abi want{4, 4, 4, 68, 204, 0xC0445609UL, 0xC044560FUL, 0xC0445611UL, 0xC0CC5605UL};
#else
#error "unexpected target: the project builds for x86-64 and 32-bit ARM"
#endif

TEST(Abi, SizesAndRequestNumbersOfThisBuild) {
    EXPECT_EQ(sizeof(std::size_t), want.size_t_bytes);
    EXPECT_EQ(sizeof(std::time_t), want.time_t_bytes);
    EXPECT_EQ(sizeof(off_t), want.off_t_bytes);
    EXPECT_EQ(sizeof(v4l2_buffer), want.buffer_bytes);
    EXPECT_EQ(sizeof(v4l2_format), want.format_bytes);
    EXPECT_EQ(static_cast<unsigned long>(VIDIOC_QUERYBUF), want.querybuf);
    EXPECT_EQ(static_cast<unsigned long>(VIDIOC_QBUF), want.qbuf);
    EXPECT_EQ(static_cast<unsigned long>(VIDIOC_DQBUF), want.dqbuf);
    EXPECT_EQ(static_cast<unsigned long>(VIDIOC_S_FMT), want.s_fmt);
}

}  // namespace
