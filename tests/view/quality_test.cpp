// The quality figure on pictures whose answer is known by construction: 64 x 64 samples (16 blocks)
// of flat grey, stripes 8 samples apart (4 at 0, 4 at 200: every gradient points one way, every
// ridge bin is all dark), half stripes, a checkerboard and noise.
#include <cstdint>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "quality.h"

namespace {

struct Case {
    const char* name;
    int (*sample)(int x, int y);
    int figure_low;
    int figure_high;
    double foreground;
};

int noise(int x, int y) {
    std::uint32_t h = static_cast<std::uint32_t>(x) * 73856093u ^ static_cast<std::uint32_t>(y) * 19349663u;
    h = (h ^ (h >> 13)) * 0x5bd1e995u;
    return static_cast<int>((h ^ (h >> 15)) & 0xff);
}

const Case cases[] = {
    {"flat", [](int, int) { return 128; }, 0, 0, 0.0},
    {"vertical_stripes", [](int x, int) { return x / 4 % 2 ? 200 : 0; }, 100, 100, 1.0},
    {"horizontal_stripes", [](int, int y) { return y / 4 % 2 ? 200 : 0; }, 100, 100, 1.0},
    {"half_stripes_half_flat", [](int x, int) { return x >= 32 ? 100 : x / 4 % 2 ? 200 : 0; }, 50, 50, 0.5},
    {"checkerboard", [](int x, int y) { return (x / 4 + y / 4) % 2 ? 200 : 0; }, 0, 10, 1.0},
    {"noise", noise, 0, 10, 1.0},
};

void PrintTo(const Case& c, std::ostream* os) {
    *os << c.name;
}

class Quality : public ::testing::TestWithParam<Case> {};

TEST_P(Quality, FigureOfAKnownPicture) {
    const Case& c = GetParam();
    // Every sample twice, the second byte garbage, as in a raw frame's pixel pairs.
    std::vector<unsigned char> pixels(64 * 64 * 2);
    for (int y = 0; y < 64; ++y) {
        for (int x = 0; x < 64; ++x) {
            pixels[static_cast<std::size_t>(2 * (y * 64 + x))] = static_cast<unsigned char>(c.sample(x, y));
            pixels[static_cast<std::size_t>(2 * (y * 64 + x) + 1)] = static_cast<unsigned char>(noise(y, x));
        }
    }
    const bio_quality::Quality q = bio_quality::measure({pixels.data(), 64, 64, 128, 2});
    EXPECT_GE(q.figure, c.figure_low);
    EXPECT_LE(q.figure, c.figure_high);
    EXPECT_DOUBLE_EQ(q.foreground, c.foreground);
}

INSTANTIATE_TEST_SUITE_P(Pictures, Quality, ::testing::ValuesIn(cases),
                         [](const ::testing::TestParamInfo<Case>& param) { return std::string(param.param.name); });

}  // namespace
