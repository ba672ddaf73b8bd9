// Per-frame kernels and correction tables: the reference score and correction against hand-computed
// values, every faster twin that kernel_variants() lists against the reference on seeded random frames
// in page-guarded buffers, the tables' reference entries, and the module's entry points.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <algorithm>
#include <ostream>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bio_common/text.h"
#include "bio_module.h"
#include "bio_test/guarded_buffer.h"
#include "finger_kernels.h"

namespace {

// Table rows print as their names (CTest lists them so).
template <typename Row, typename = decltype(Row::name)>
std::ostream& operator<<(std::ostream& out, const Row& row) {
    return out << row.name;
}

using bio_test::GuardedBuffer;

constexpr std::size_t frame_size = 614400;

// Every variant kernel_variants() lists; the faster twins only without the reference, listed first.
struct Variant {
    const char* name;
    const kernel_variant* kernels;
};
std::vector<Variant> variants(bool twins_only = false) {
    std::size_t count = 0;
    const kernel_variant* listed = kernel_variants(&count);
    std::vector<Variant> result;
    for (std::size_t i = twins_only ? 1 : 0; i < count; ++i) {
        result.push_back({listed[i].name, &listed[i]});
    }
    return result;
}

// Value of the sample in block (column, row), sampled row j of the block, pixel i of that row.
using SampleValue = std::function<int(int column, int row, int j, int i)>;

struct ScoreRow {
    const char* name;
    int bsize;
    int step;
    int fill;           // every byte of the frame; -1: seeded noise
    SampleValue value;  // null: the fill alone
    int expected;
};

int ten_to_forty(int, int, int j, int i) {
    return 10 + 20 * j + 10 * i;  // 10, 20 / 30, 40
}

// clang-format off
const ScoreRow score_rows[] = {
    {"uniform_0", 4, 2, 0, nullptr, 0},
    {"uniform_137_b6_s3", 6, 3, 137, nullptr, 0},
    // 255 everywhere: the largest sums a 32-bit accumulator may hold (b 256) and the first it may not.
    {"uniform_255_b256_s1", 256, 1, 255, nullptr, 0},
    {"uniform_255_b257_s1", 257, 1, 255, nullptr, 0},
    // Each block: 3000 - 100^2 / 4 = 500; 7700 blocks; (7700 * 500 / 4) / 7700 = 125.
    {"samples_10_20_30_40_b4_s2", 4, 2, -1, ten_to_forty, 125},
    // Block (54, 34) alone holds eight samples of 255 and eight of 0: 520200 - 2040^2 / 16 = 260100;
    // 260100 / 16 = 16256; / (55 * 35) = 8.
    {"one_block_b8_s2", 8, 2, -1, [](int c, int r, int, int i) { return c == 54 && r == 34 && i % 2 == 0 ? 255 : 0; }, 8},
    // Every block so: 1925 * 260100 / 16 = 31293281; / 1925 = 16256.
    {"every_block_b8_s2", 8, 2, -1, [](int, int, int, int i) { return i % 2 == 0 ? 255 : 0; }, 16256},
    // B 5, S 2: rows 0, 2, 4, three pixels each, n = 6, 88 x 56 = 4928 blocks. One 60 per block:
    // 3600 - 3600 / 6 = 3000; 4928 * 3000 / 6 / 4928 = 500.
    {"step_not_dividing_b5_s2", 5, 2, -1, [](int, int, int j, int i) { return j == 2 && i == 2 ? 60 : 0; }, 500},
    // Block (7, 3) holds 1 .. 9: 285 - 45^2 / 6 = -52, modulo 2^64; / 6 = 3074457345618258594;
    // / 4928 = 623875273055653, low 32 bits 1208540581.
    {"wraps_modulo_2_64_b5_s2", 5, 2, -1, [](int c, int r, int j, int i) { return c == 7 && r == 3 ? 1 + 3 * j + i : 0; },
     1208540581},
    // One block; samples (100, 100), (101, 100), (100, 240), (101, 240).
    {"largest_block_b280_s140", 280, 140, -1, ten_to_forty, 125},
    {"step_0", 4, 0, -1, nullptr, 0},
    {"step_above_block", 4, 5, -1, nullptr, 0},
    {"block_above_280", 281, 1, -1, nullptr, 0},
    {"block_0", 0, 1, -1, nullptr, 0},
    {"block_negative", -4, 2, -1, nullptr, 0},
};
// clang-format on

class ScoreByHand : public testing::TestWithParam<ScoreRow> {};

TEST_P(ScoreByHand, EveryVariant) {
    const ScoreRow& row = GetParam();
    GuardedBuffer frame(frame_size);
    if (row.fill < 0) {
        frame.fill_random(7);  // unsampled pixels and every second byte are noise
    } else {
        std::memset(frame.data(), row.fill, frame_size);
    }
    if (row.value) {
        const int b = row.bsize;
        const int per_row = (b + row.step - 1) / row.step;
        for (int r = 0; r < 280 / b; ++r) {
            for (int c = 0; c < 440 / b; ++c) {
                for (int j = 0; j * row.step < b; ++j) {
                    for (int i = 0; i < per_row; ++i) {
                        // The sample of pixel (x, y) is the byte at 2 * (x + 640 * y).
                        frame[2 * (100 + c * b + i + 640 * (100 + r * b + j * row.step))] =
                            static_cast<unsigned char>(row.value(c, r, j, i));
                    }
                }
            }
        }
    }
    for (const Variant& variant : variants()) {
        EXPECT_EQ(variant.kernels->variance(frame.data(), row.bsize, row.step), row.expected) << variant.name;
    }
    EXPECT_EQ(image_variance(frame.data(), row.bsize, row.step), row.expected) << "module entry point";
}

INSTANTIATE_TEST_SUITE_P(ImageVariance, ScoreByHand, testing::ValuesIn(score_rows),
                         [](const testing::TestParamInfo<ScoreRow>& p) { return std::string(p.param.name); });

class Twin : public testing::TestWithParam<Variant> {};

TEST_P(Twin, ImageVarianceMatchesTheReferenceOnRandomFrames) {
    // Every path of a twin: 2, 4 and 8 samples per row, other counts, power-of-two and other n, 64-bit sums.
    const int settings[][2] = {{4, 2},  {8, 2},   {16, 4},  {8, 1},   {5, 2},   {7, 3},     {1, 1},  {3, 2},
                               {16, 3}, {100, 7}, {256, 1}, {257, 1}, {280, 1}, {280, 280}, {33, 32}};
    GuardedBuffer frame(frame_size);
    for (std::uint32_t seed = 0; seed <= 3; ++seed) {
        if (seed == 0) {
            std::memset(frame.data(), 255, frame_size);  // the largest sums the accumulators see
        } else {
            frame.fill_random(seed);
        }
        for (const auto& s : settings) {
            EXPECT_EQ(GetParam().kernels->variance(frame.data(), s[0], s[1]),
                      variants().front().kernels->variance(frame.data(), s[0], s[1]))
                << "seed " << seed << " bsize " << s[0] << " step " << s[1];
        }
    }
}

// A random plan of `pixels` pixels, `columns` a row. Most rows move along two frame rows by 0 to 3 samples
// a pixel (every third by 0 to 5: four pixels up to 15 samples apart, one more than a lane of the AVX2
// rows holds) from anywhere in the frame; of every five, one steadily up to the frame's last sample (the
// vector rows' windows moved back from the frame's end) and one steadily down by 1.25 to 2.5 samples a
// pixel, as an image's rows do (the NEON rows' wide groups, their lanes reversed); of every seven rows one
// scatters its pixels over the frame, one has a pixel at an odd offset and one a weight of 2^24 or more
// (rows left to the reference row). Weights up to 2^20 elsewhere (an image's), but for one row of seven,
// below 2^24 - 2^15 (sums that wrap modulo 2^32; the NEON rows leave it to the reference row), and one
// pixel of three others with weights at the NEON rows' limits: one of 2^20 + 3 * 2^12 - 1, the largest
// they take (parts at their largest); one above it; two of them, whose sums could overflow 16 bits (the
// last two left to the reference row).
struct RandomPlan {
    std::vector<std::uint32_t> offset, weight[4];
    correction_walk_builder walk;
    correction_plan plan;

    RandomPlan(std::size_t pixels, std::size_t columns)
        : offset(pixels), weight{offset, offset, offset, offset} {
        std::mt19937 random(static_cast<std::uint32_t>(pixels + columns));
        constexpr std::uint32_t last =
            638 + 640 * 478;  // last top-left sample with three to its right and below
        for (std::size_t first = 0; first < pixels; first += columns) {
            const std::size_t row = first / columns;
            const std::size_t odd = first + random() % columns;
            const std::uint32_t start = random() % (last - 800);
            const std::uint32_t quarters = 5 + row % 6;
            std::uint32_t p = row % 5 == 4 ? last - 3 * static_cast<std::uint32_t>(columns) : start;
            for (std::size_t k = first; k < std::min(pixels, first + columns); ++k) {
                p = row % 5 == 4 ? p + 3
                    : row % 5 == 1
                        ? start + 800 - static_cast<std::uint32_t>((k - first) * quarters / 4)
                        : std::min(last, p + static_cast<std::uint32_t>(random() % (row % 3 == 2 ? 6 : 4)));
                offset[k] =
                    2 * (row % 7 == 6 ? random() % (last + 1) : p) + (row % 7 == 3 && k == odd ? 1 : 0);
                // Pixel `odd` of rows 0, 1 and 4 (of 7): w0 one above the NEON rows' largest; w0; w0 and w1.
                const std::ptrdiff_t largest = k != odd ? 0 : row % 7 <= 1 ? 1 : row % 7 == 4 ? 2 : 0;
                const std::uint32_t neon_largest = (1u << 20) + (3u << 12) - (row % 7 == 0 ? 0 : 1);
                for (auto& w : weight) {
                    const std::uint32_t limit = row % 7 == 2 ? (1u << 24) - (1u << 15) : (1u << 20) + 1;
                    w[k] = row % 7 == 5 && k == odd ? (1u << 24) + random() % (1u << 20)
                           : largest > 0            ? (&w - weight < largest ? neon_largest : 0)
                                                    : static_cast<std::uint32_t>(random() % limit);
                }
            }
        }
        plan = {offset.data(),
                {weight[0].data(), weight[1].data(), weight[2].data(), weight[3].data()},
                pixels,
                columns,
                nullptr};
        plan.walk = walk.build(plan);
    }
};

TEST_P(Twin, CorrectImageMatchesTheReferenceOnRandomPlans) {
    // Rows of whole groups of eight and of four left over, a shorter last row, rows too short for a group.
    for (const auto& [pixels, columns] :
         {std::pair<std::size_t, std::size_t>{91000, 260}, {83203, 256}, {1001, 7}}) {
        const RandomPlan random_plan(pixels, columns);
        GuardedBuffer frame(frame_size);  // a byte read past the frame faults
        frame.fill_random(static_cast<std::uint32_t>(pixels) + 1);
        GuardedBuffer expected(pixels);
        GuardedBuffer out(pixels);  // a byte written past the image faults
        for (const correction_flags flags : {correction_flags{false, false}, correction_flags{false, true},
                                             correction_flags{true, false}, correction_flags{true, true}}) {
            variants().front().kernels->correct(frame.data(), random_plan.plan, flags, expected.data());
            GetParam().kernels->correct(frame.data(), random_plan.plan, flags, out.data());
            EXPECT_EQ(std::memcmp(out.data(), expected.data(), pixels), 0)
                << pixels << " pixels, invert " << flags.invert << " invert_pixels " << flags.invert_pixels;
        }
    }
}

// The plans a camera start builds, whole (table and matrix forms, pixels along ascending and descending
// x). Every row is laid out for the vector rows (none left to the reference row, several times slower):
// in wide groups where the machine's rows take them, and in the AVX2 rows' lanes on x86-64; and every
// variant's image is the reference's.
TEST_P(Twin, CorrectImageMatchesTheReferenceOnTheSensorsPlans) {
    GuardedBuffer frame(frame_size);
    frame.fill_random(7);
    for (const char* sensor : {"GC0307", "GC0328", "GC032A"}) {
        camera_sensor = sensor;
        build_correction_tables();
        const correction_plan& plan = correction_plan_for(camera_sensor == "GC032A");
        const correction_walk& walk = *plan.walk;
        for (std::size_t r = 0; r < plan.pixels / plan.columns; ++r) {
            ASSERT_TRUE(walk.wide_rows != nullptr ? walk.wide_rows[r].count == 16
                                                  : walk.row_groups[r + 1] - walk.row_groups[r] == 33)
                << sensor << " row " << r;
#ifdef __x86_64__
            ASSERT_EQ(walk.row_lanes[r + 1] - walk.row_lanes[r], 33u)
                << sensor << " row " << r << " in lanes";
#endif
        }
        GuardedBuffer expected(plan.pixels);
        GuardedBuffer out(plan.pixels);
        for (const correction_flags flags : {correction_flags{false, false}, correction_flags{true, true}}) {
            variants().front().kernels->correct(frame.data(), plan, flags, expected.data());
            GetParam().kernels->correct(frame.data(), plan, flags, out.data());
            EXPECT_EQ(std::memcmp(out.data(), expected.data(), plan.pixels), 0)
                << sensor << " invert " << flags.invert;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, Twin, testing::ValuesIn(variants(true)),
                         [](const auto& p) { return std::string(p.param.name); });

struct EntryRow {
    const char* name;
    const remap_constants* remap;  // null: the perspective matrices
    std::size_t row;
    std::size_t column;
    std::vector<std::int64_t> entry;  // offsets (or corners) and weights
};

// clang-format off
const EntryRow entry_rows[] = {
    {"gc0307_first", &gc0307_constants, 0, 0, {88524, 89804, 149953, 258895, 234632, 405093}},
    {"gc0307_last", &gc0307_constants, 319, 259, {610514, 611794, 20618, 424054, 28001, 575902}},
    {"gc0328_first", &gc0328_constants, 0, 0, {101392, 102672, 705062, 291084, 37108, 15320}},
    // x lands exactly on 320: no weight for the right-hand pixels.
    {"gc0328_integer_x", &gc0328_constants, 160, 130, {283520, 284800, 106954, 0, 941621, 0}},
    {"perspective_first", nullptr, 0, 0, {536, 31, 537, 31, 536, 32, 537, 32, 143521, 296850, 198219, 409986}},
    {"perspective_last", nullptr, 349, 259, {20, 385, 21, 385, 20, 386, 21, 386, 322587, 42585, 603708, 79696}},
    // u is 319.9999999999999: floor gives 319, almost all weight goes right.
    {"perspective_centre", nullptr, 175, 130, {319, 179, 320, 179, 319, 180, 320, 180, 0, 77048, 0, 971528}},
};
// clang-format on

// The entry of the built table.
std::vector<std::int64_t> built_entry(const EntryRow& row) {
    if (row.remap != nullptr) {
        build_remap_table(*row.remap);
        const auto& o = remapOffsetTable[row.row * 260 + row.column];
        const auto& w = remapWeightTable[row.row * 260 + row.column];
        return {o[0], o[1], w[0], w[1], w[2], w[3]};
    }
    build_perspective_matrices();
    std::vector<std::int64_t> found(offsetMatrix[row.row][row.column].begin(),
                                    offsetMatrix[row.row][row.column].end());
    found.insert(found.end(), weightMatrix[row.row][row.column].begin(),
                 weightMatrix[row.row][row.column].end());
    return found;
}

class TableEntry : public testing::TestWithParam<EntryRow> {};

TEST_P(TableEntry, MatchesTheReference) {
    EXPECT_EQ(built_entry(GetParam()), GetParam().entry);
}

INSTANTIATE_TEST_SUITE_P(Tables, TableEntry, testing::ValuesIn(entry_rows),
                         [](const testing::TestParamInfo<EntryRow>& p) { return std::string(p.param.name); });

// The tables come out bit for bit alike on every machine (the same double arithmetic in the same order,
// no fused multiply-add): digests of the x86-64 build, which the board's build reproduces. A rebuild of
// the perspective matrices starts from empty ones.
TEST(Tables, SameOnEveryMachine) {
    const auto digest = [](const void* data, std::size_t size) {
        return bio_common::fnv1a64(static_cast<const unsigned char*>(data), size);
    };
    std::vector<std::uint64_t> digests;
    for (const remap_constants* constants : {&gc0307_constants, &gc0328_constants}) {
        build_remap_table(*constants);
        digests.push_back(digest(remapOffsetTable, sizeof remapOffsetTable) ^
                          digest(remapWeightTable, sizeof remapWeightTable));
    }
    build_perspective_matrices();
    build_perspective_matrices();
    ASSERT_EQ(offsetMatrix.size() + weightMatrix.size(), 700u);
    std::uint64_t perspective = 0;
    for (std::size_t i = 0; i < 350; ++i) {
        ASSERT_EQ(offsetMatrix[i].size() + weightMatrix[i].size(), 520u);
        perspective = perspective * 31 + (digest(offsetMatrix[i].data(), 260 * sizeof(offset_entry)) ^
                                          digest(weightMatrix[i].data(), 260 * sizeof(weight_entry)));
    }
    digests.push_back(perspective);
    EXPECT_EQ(digests,
              (std::vector<std::uint64_t>{0xe42976dae3afeab8, 0x958d4d89894a1ee5, 0x0b7afbeb345c0add}));
}

// The reference entries' pixels through correct_image on the tables a camera start builds, in a frame
// whose byte i is i mod 251. GC0307 (0, 0): (149953 * 172 + 258895 * 174 + 234632 * 197 +
// 405093 * 199) >> 20 = 188; the others alike.
TEST(CorrectImage, ReferenceEntriesThroughTheBuiltTables) {
    struct Pixel {
        const char* sensor;
        std::size_t position;  // row * 260 + column
        int value;
    };
    const Pixel pixels[] = {
        {"GC0307", 0, 188},
        {"GC0307", 319 * 260 + 259, 98},
        {"GC0328", 0, 228},
        {"GC0328", 160 * 260 + 130, 163},
        {"GC032A", 0, 105},
        {"GC032A", 349 * 260 + 259, 143},
        {"GC032A", 175 * 260 + 130, 118},
    };
    GuardedBuffer frame(frame_size);
    for (std::size_t i = 0; i < frame_size; ++i) {
        frame[i] = static_cast<unsigned char>(i % 251);
    }
    GuardedBuffer out(91000);
    for (const char* sensor : {"GC0307", "GC0328", "GC032A"}) {
        camera_sensor = sensor;
        build_correction_tables();
        const std::size_t size = camera_sensor == "GC032A" ? 91000 : 83200;
        for (const bool turn : {false, true}) {
            for (const bool negative : {false, true}) {
                invert = turn;
                invert_pixels = negative;
                correct_image(frame.data(), out.data());
                for (const Pixel& p : pixels) {
                    if (camera_sensor == p.sensor) {
                        // Only the GC032A image is ever inverted.
                        const int value = negative && camera_sensor == "GC032A" ? 255 - p.value : p.value;
                        EXPECT_EQ(out[turn ? size - 1 - p.position : p.position], value)
                            << sensor << " pixel " << p.position << " invert " << turn << " invert_pixels "
                            << negative;
                    }
                }
            }
        }
    }
}

TEST(KernelSelection, ReferenceFirstFastestLastEnvironmentChooses) {
    const auto listed = variants();
    ASSERT_GE(listed.size(), 2u);
    EXPECT_STREQ(listed.front().name, "reference");
    for (const char* value : {static_cast<const char*>(nullptr), "", "bogus"}) {
        EXPECT_EQ(&select_kernels(value), listed.back().kernels);
    }
    for (const Variant& variant : listed) {
        EXPECT_EQ(&select_kernels(variant.name), variant.kernels);
    }
    // CTest runs this executable with BIO_KERNELS=reference; run by hand, the fastest is chosen.
    EXPECT_EQ(&active_kernels(), &select_kernels(std::getenv("BIO_KERNELS")));
}

}  // namespace
