// Frame score: hand-computed frames and random frames against the definition, for every variant.
#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "finger_kernels.h"
#include "guarded_buffer.h"

namespace {

constexpr std::size_t frame_size = 614400;

std::vector<const kernel_variant*> every_variant() {
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    std::vector<const kernel_variant*> result;
    for (std::size_t i = 0; i < count; ++i) {
        result.push_back(&variants[i]);
    }
    return result;
}

std::string variant_name(const testing::TestParamInfo<const kernel_variant*>& info) {
    return info.param->name;
}

// The score written straight from its definition: the blocks of B x B pixels laid from (100, 100)
// inside the 440 x 280 window, rows by, by + S, ... below by + B, in each the ceil(B / S) pixels
// from bx on; per block sumsq - floor(sum^2 / n) with n = floor(B^2 / S^2), all modulo 2^64.
int score_by_definition(const unsigned char* frame, int b, int s) {
    const int per_row = (b + s - 1) / s;
    const std::uint64_t n = static_cast<std::uint64_t>(b * b) / static_cast<std::uint64_t>(s * s);
    std::uint64_t acc = 0;
    std::uint64_t blocks = 0;
    for (int by = 100; by + b <= 100 + 280; by += b) {
        for (int bx = 100; bx + b <= 100 + 440; bx += b) {
            std::uint64_t sum = 0;
            std::uint64_t sumsq = 0;
            for (int y = by; y < by + b; y += s) {
                for (int x = bx; x < bx + per_row; ++x) {
                    const std::uint64_t p = frame[2 * (x + 640 * y)];
                    sum += p;
                    sumsq += p * p;
                }
            }
            acc += sumsq - sum * sum / n;
            ++blocks;
        }
    }
    return static_cast<int>(static_cast<std::uint32_t>(acc / n / blocks));
}

// Calls set(x, y, block_column, block_row, j, i) for every sampled pixel of every block, j the
// sampled row within the block and i the pixel within that row.
template <typename Setter>
void for_each_sample(int b, int s, Setter set) {
    const int per_row = (b + s - 1) / s;
    for (int row = 0; row < 280 / b; ++row) {
        for (int column = 0; column < 440 / b; ++column) {
            for (int j = 0; j * s < b; ++j) {
                for (int i = 0; i < per_row; ++i) {
                    set(100 + column * b + i, 100 + row * b + j * s, column, row, j, i);
                }
            }
        }
    }
}

class ImageVariance : public testing::TestWithParam<const kernel_variant*> {
protected:
    int score(int b, int s) { return GetParam()->variance(frame.data(), b, s); }

    guarded_buffer frame{frame_size};
};

TEST_P(ImageVariance, UniformFrameScoresZero) {
    // Only for a step that divides the block: otherwise n undercounts the samples (see below).
    // 255 everywhere also gives the largest sums of squares that 32-bit accumulators may hold
    // (bsize 256, step 1) and the first that they may not (bsize 257).
    for (const unsigned char value : {0, 137, 255}) {
        frame.fill(value);
        for (const auto& [b, s] : std::vector<std::pair<int, int>>{
                 {4, 2}, {8, 2}, {6, 3}, {1, 1}, {256, 1}, {257, 1}, {280, 280}, {280, 1}}) {
            EXPECT_EQ(score(b, s), 0) << "value " << int{value} << " bsize " << b << " step " << s;
        }
    }
}

TEST_P(ImageVariance, FourSamplesOfTenToFortyScore125) {
    // Every pixel that is not sampled (and every second byte) is noise: only the samples count.
    frame.fill_random(4);
    const unsigned char values[2][2] = {{10, 20}, {30, 40}};
    for_each_sample(
        4, 2, [&](int x, int y, int, int, int j, int i) { sample_at(frame.data(), x, y) = values[j][i]; });
    // Each block: sumsq 3000 - 100^2 / 4 = 500; 7700 blocks; (7700 * 500 / 4) / 7700 = 125.
    EXPECT_EQ(score(4, 2), 125);
}

TEST_P(ImageVariance, Bsize8DividesByAll1925Blocks) {
    frame.fill_random(8);
    // The last block (column 54, row 34) holds eight samples of 255 and eight of 0, all others 0:
    // sum 2040, sumsq 520200, 2040^2 / 16 = 260100, contribution 260100; 260100 / 16 = 16256;
    // 16256 / (55 * 35) = 8.
    for_each_sample(8, 2, [&](int x, int y, int column, int row, int, int i) {
        sample_at(frame.data(), x, y) = (column == 54 && row == 34 && i % 2 == 0) ? 255 : 0;
    });
    EXPECT_EQ(score(8, 2), 8);

    // The same pattern in every block: 1925 * 260100 = 500692500; / 16 = 31293281; / 1925 = 16256.
    for_each_sample(8, 2, [&](int x, int y, int, int, int, int i) {
        sample_at(frame.data(), x, y) = (i % 2 == 0) ? 255 : 0;
    });
    EXPECT_EQ(score(8, 2), 16256);
}

TEST_P(ImageVariance, StepThatDoesNotDivideTheBlock) {
    frame.fill_random(5);
    // B 5, S 2: rows 0, 2, 4 of each block, 3 adjacent pixels in each, n = 25 / 4 = 6;
    // 88 x 56 = 4928 blocks. One sample of 60 per block, the other eight 0:
    // 3600 - 60^2 / 6 = 3000 per block; 4928 * 3000 / 6 = 2464000; / 4928 = 500.
    for_each_sample(5, 2, [&](int x, int y, int, int, int j, int i) {
        sample_at(frame.data(), x, y) = (j == 2 && i == 2) ? 60 : 0;
    });
    EXPECT_EQ(score(5, 2), 500);

    // One block with the samples 1 .. 9, all others 0: 285 - 45^2 / 6 = 285 - 337 wraps to
    // 2^64 - 52; / 6 = 3074457345618258594; / 4928 = 623875273055653, low 32 bits 1208540581.
    int next = 1;
    for_each_sample(5, 2, [&](int x, int y, int column, int row, int, int) {
        sample_at(frame.data(), x, y) = (column == 7 && row == 3) ? static_cast<unsigned char>(next++) : 0;
    });
    ASSERT_EQ(next, 10);
    EXPECT_EQ(score(5, 2), 1208540581);
}

TEST_P(ImageVariance, LargestBlockIsOneBlock) {
    frame.fill_random(280);
    // B 280, S 280: one block, one sample, n 1: always 0.
    EXPECT_EQ(score(280, 280), 0);
    // B 280, S 140: samples (100, 100), (101, 100), (100, 240), (101, 240); n 4; one block.
    sample_at(frame.data(), 100, 100) = 10;
    sample_at(frame.data(), 101, 100) = 20;
    sample_at(frame.data(), 100, 240) = 30;
    sample_at(frame.data(), 101, 240) = 40;
    EXPECT_EQ(score(280, 140), 125);
}

TEST_P(ImageVariance, ArgumentsOutsideTheLimitsScoreZero) {
    frame.fill_random(9);
    const std::vector<std::pair<int, int>> refused = {{0, 0},     {0, 1},  {4, 0},  {4, 5},   {281, 1},
                                                      {281, 281}, {-4, 2}, {4, -2}, {-1, -1}, {1000, 2}};
    for (const auto& [b, s] : refused) {
        EXPECT_EQ(score(b, s), 0) << "bsize " << b << " step " << s;
    }
    EXPECT_EQ(GetParam()->variance(nullptr, 4, 2), 0);
}

TEST_P(ImageVariance, RandomFramesMatchTheDefinition) {
    const std::vector<std::pair<int, int>> settings = {{4, 2},   {8, 2},   {5, 2},     {7, 3},   {1, 1},
                                                       {2, 1},   {3, 2},   {16, 3},    {100, 7}, {256, 1},
                                                       {257, 1}, {280, 1}, {280, 280}, {9, 4},   {33, 32}};
    for (std::uint32_t seed = 1; seed <= 3; ++seed) {
        frame.fill_random(seed);
        for (const auto& [b, s] : settings) {
            EXPECT_EQ(score(b, s), score_by_definition(frame.data(), b, s))
                << "seed " << seed << " bsize " << b << " step " << s;
        }
    }
    // Saturated frames: the largest sums and squares the accumulators can see.
    frame.fill(255);
    for (std::size_t i = 0; i < frame_size; i += 4) {
        frame[i] = 0;
    }
    for (const auto& [b, s] : settings) {
        EXPECT_EQ(score(b, s), score_by_definition(frame.data(), b, s)) << "bsize " << b << " step " << s;
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, ImageVariance, testing::ValuesIn(every_variant()), variant_name);

TEST(KernelSelection, ReferenceIsForcedByName) {
    EXPECT_STREQ(select_kernels("reference").name, "reference");
    std::size_t count = 0;
    const kernel_variant* variants = kernel_variants(&count);
    ASSERT_GE(count, 2u);
    EXPECT_STREQ(variants[0].name, "reference");
    // Unset or unknown: the fastest variant built, listed last.
    EXPECT_STREQ(select_kernels(nullptr).name, variants[count - 1].name);
    EXPECT_STREQ(select_kernels("").name, variants[count - 1].name);
    EXPECT_STREQ(select_kernels("bogus").name, variants[count - 1].name);
    for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(&select_kernels(variants[i].name), &variants[i]);
    }
}

TEST(KernelSelection, ModuleEntryPointScoresWithTheChosenVariant) {
    guarded_buffer frame(frame_size);
    frame.fill_random(11);
    const unsigned char values[2][2] = {{10, 20}, {30, 40}};
    for_each_sample(
        4, 2, [&](int x, int y, int, int, int j, int i) { sample_at(frame.data(), x, y) = values[j][i]; });
    EXPECT_EQ(image_variance(frame.data(), 4, 2), 125);
    EXPECT_EQ(image_variance(frame.data(), 0, 0), 0);
}

}  // namespace
