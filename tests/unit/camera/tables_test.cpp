// Tests of the geometric correction tables: reference entries, weight sums, shapes, digests.
#include <array>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/legacy_support.h"

namespace {

// ---------------------------------------------------------------- reference entries

struct RemapCase {
    const char* name;
    const remap_constants* constants;
    int row;
    int column;
    std::array<std::uint32_t, 2> offsets;
    std::array<std::uint32_t, 4> weights;
};

void PrintTo(const RemapCase& c, std::ostream* os) {
    *os << c.name;
}

class RemapReference : public ::testing::TestWithParam<RemapCase> {};

TEST_P(RemapReference, EntryMatches) {
    const RemapCase& c = GetParam();
    build_remap_table(*c.constants);
    const int entry = c.row * 260 + c.column;
    EXPECT_EQ(remapOffsetTable[entry][0], c.offsets[0]);
    EXPECT_EQ(remapOffsetTable[entry][1], c.offsets[1]);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(remapWeightTable[entry][k], c.weights[static_cast<std::size_t>(k)]) << "weight " << k;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Tables, RemapReference,
    ::testing::Values(
        RemapCase{"gc0307_first", &gc0307_constants, 0, 0, {88524, 89804}, {149953, 258895, 234632, 405093}},
        RemapCase{
            "gc0307_last", &gc0307_constants, 319, 259, {610514, 611794}, {20618, 424054, 28001, 575902}},
        RemapCase{"gc0328_first", &gc0328_constants, 0, 0, {101392, 102672}, {705062, 291084, 37108, 15320}},
        // x lands exactly on 320: no weight for the right-hand pixels.
        RemapCase{"gc0328_integer_x", &gc0328_constants, 160, 130, {283520, 284800}, {106954, 0, 941621, 0}}),
    [](const auto& tp) { return std::string(tp.param.name); });

struct PerspectiveCase {
    const char* name;
    int row;
    int column;
    offset_entry offsets;
    weight_entry weights;
};

void PrintTo(const PerspectiveCase& c, std::ostream* os) {
    *os << c.name;
}

class PerspectiveReference : public ::testing::TestWithParam<PerspectiveCase> {};

TEST_P(PerspectiveReference, EntryMatches) {
    const PerspectiveCase& c = GetParam();
    build_perspective_matrices();
    const auto row = static_cast<std::size_t>(c.row);
    const auto column = static_cast<std::size_t>(c.column);
    EXPECT_EQ(offsetMatrix.at(row).at(column), c.offsets);
    EXPECT_EQ(weightMatrix.at(row).at(column), c.weights);
}

INSTANTIATE_TEST_SUITE_P(
    Tables, PerspectiveReference,
    ::testing::Values(
        PerspectiveCase{
            "first", 0, 0, {536, 31, 537, 31, 536, 32, 537, 32}, {143521, 296850, 198219, 409986}},
        PerspectiveCase{
            "last", 349, 259, {20, 385, 21, 385, 20, 386, 21, 386}, {322587, 42585, 603708, 79696}},
        // u is 319.9999999999999: floor gives 319, almost all weight goes right.
        PerspectiveCase{"centre", 175, 130, {319, 179, 320, 179, 319, 180, 320, 180}, {0, 77048, 0, 971528}}),
    [](const auto& tp) { return std::string(tp.param.name); });

// ---------------------------------------------------------------- whole-table properties

class RemapBounds : public ::testing::TestWithParam<const remap_constants*> {};

TEST_P(RemapBounds, EveryEntryInsideTheFrameAndWeightsSumToOne) {
    build_remap_table(*GetParam());
    int bad_sums = 0;
    int bad_offsets = 0;
    for (int e = 0; e < 320 * 260; ++e) {
        const std::uint64_t sum = std::uint64_t{remapWeightTable[e][0]} + remapWeightTable[e][1] +
                                  remapWeightTable[e][2] + remapWeightTable[e][3];
        bad_sums += (sum < 1048573 || sum > 1048576) ? 1 : 0;
        // Four corners: top, top + 2, bottom, bottom + 2, all within one 614400-byte frame.
        const std::uint32_t top = remapOffsetTable[e][0];
        const std::uint32_t bottom = remapOffsetTable[e][1];
        bad_offsets += (bottom != top + 1280 || top % 2 != 0 || bottom + 2 >= 614400) ? 1 : 0;
    }
    EXPECT_EQ(bad_sums, 0);
    EXPECT_EQ(bad_offsets, 0);
}

INSTANTIATE_TEST_SUITE_P(Tables, RemapBounds, ::testing::Values(&gc0307_constants, &gc0328_constants));

TEST(PerspectiveBounds, EveryEntryInsideTheFrameAndWeightsSumToOne) {
    build_perspective_matrices();
    ASSERT_EQ(offsetMatrix.size(), 350U);
    ASSERT_EQ(weightMatrix.size(), 350U);
    int bad_sums = 0;
    int bad_corners = 0;
    int negative = 0;
    for (std::size_t i = 0; i < 350; ++i) {
        ASSERT_EQ(offsetMatrix[i].size(), 260U);
        ASSERT_EQ(weightMatrix[i].size(), 260U);
        for (std::size_t j = 0; j < 260; ++j) {
            const auto& o = offsetMatrix[i][j];
            const auto& w = weightMatrix[i][j];
            const std::int64_t sum = std::int64_t{w[0]} + w[1] + w[2] + w[3];
            bad_sums += (sum < 1048575 || sum > 1048577) ? 1 : 0;
            negative += (w[0] < 0 || w[1] < 0 || w[2] < 0 || w[3] < 0) ? 1 : 0;
            const bool corners_ok = o[2] == o[0] + 1 && o[3] == o[1] && o[4] == o[0] && o[5] == o[1] + 1 &&
                                    o[6] == o[0] + 1 && o[7] == o[1] + 1 && o[0] >= 0 && o[1] >= 0 &&
                                    o[6] <= 639 && o[7] <= 479;
            bad_corners += corners_ok ? 0 : 1;
        }
    }
    EXPECT_EQ(bad_sums, 0);
    EXPECT_EQ(negative, 0);
    EXPECT_EQ(bad_corners, 0);
}

// ---------------------------------------------------------------- digests

// FNV-1a 64 over 32-bit values, each fed as four little-endian bytes, so that the digest
// does not depend on the machine's byte order or word size.
class Fnv1a {
public:
    void add(std::uint32_t value) {
        for (int shift = 0; shift < 32; shift += 8) {
            hash_ ^= (value >> shift) & 0xffu;
            hash_ *= 1099511628211ULL;
        }
    }
    std::uint64_t value() const { return hash_; }

private:
    std::uint64_t hash_ = 14695981039346656037ULL;
};

std::uint64_t remap_digest() {
    Fnv1a h;
    for (int e = 0; e < 320 * 260; ++e) {
        h.add(remapOffsetTable[e][0]);
        h.add(remapOffsetTable[e][1]);
        for (int k = 0; k < 4; ++k) {
            h.add(remapWeightTable[e][k]);
        }
    }
    return h.value();
}

std::uint64_t perspective_digest() {
    Fnv1a h;
    for (std::size_t i = 0; i < offsetMatrix.size(); ++i) {
        for (std::size_t j = 0; j < offsetMatrix[i].size(); ++j) {
            for (const std::int32_t v : offsetMatrix[i][j]) {
                h.add(static_cast<std::uint32_t>(v));
            }
            for (const std::int32_t v : weightMatrix[i][j]) {
                h.add(static_cast<std::uint32_t>(v));
            }
        }
    }
    return h.value();
}

// The same values on every machine: these digests were taken on x86-64 and must come out
// identical on the board's armhf build.
TEST(TableDigests, WholeTablesAgreeAcrossMachines) {
    build_remap_table(gc0307_constants);
    const std::uint64_t gc0307 = remap_digest();
    build_remap_table(gc0328_constants);
    const std::uint64_t gc0328 = remap_digest();
    build_perspective_matrices();
    const std::uint64_t perspective = perspective_digest();

    std::cout << std::hex << "gc0307 remap digest 0x" << gc0307 << "\ngc0328 remap digest 0x" << gc0328
              << "\nperspective digest 0x" << perspective << std::dec << "\n";
    EXPECT_EQ(gc0307, 0x5578d16c22989dd1ULL);
    EXPECT_EQ(gc0328, 0x60ff50fe7c02eaa8ULL);
    EXPECT_EQ(perspective, 0x8f6e619c1c56033aULL);
}

// ---------------------------------------------------------------- tables across camera starts

class TablesAcrossStarts : public ::testing::Test {
protected:
    void load(const bio_test::ModuleEnv& env, const std::string& model) {
        env.write_sensor_model(model);
        fp_reader_path = env.sensor_file();
        device_path = env.device_path();
        last_fp_reader = model;
        var_min = 500;
    }
    void TearDown() override { exit_module(); }
};

TEST_F(TablesAcrossStarts, PerspectiveMatricesKeepTheirShapeAtEveryStart) {
    bio_test::ModuleEnv env;
    load(env, "GC032A");
    for (int start = 0; start < 3; ++start) {
        SCOPED_TRACE(start);
        ASSERT_NO_THROW(init_module());
        ASSERT_EQ(offsetMatrix.size(), 350U);
        ASSERT_EQ(weightMatrix.size(), 350U);
        EXPECT_GE(offsetMatrix.capacity(), 350U);
        for (std::size_t i = 0; i < 350; ++i) {
            ASSERT_EQ(offsetMatrix[i].size(), 260U);
            ASSERT_EQ(weightMatrix[i].size(), 260U);
        }
        EXPECT_EQ(weightMatrix[0][0], (weight_entry{143521, 296850, 198219, 409986}));
        exit_module();
        // The teardown leaves the matrices alone.
        EXPECT_EQ(offsetMatrix.size(), 350U);
    }
}

TEST_F(TablesAcrossStarts, RemapTablesStayZeroWithoutARemapSensor) {
    bio_test::ModuleEnv env;
    load(env, "GC032A");
    ASSERT_NO_THROW(init_module());
    int nonzero = 0;
    for (int e = 0; e < 320 * 260; ++e) {
        nonzero += (remapOffsetTable[e][0] | remapOffsetTable[e][1] | remapWeightTable[e][0] |
                    remapWeightTable[e][1] | remapWeightTable[e][2] | remapWeightTable[e][3]) != 0
                       ? 1
                       : 0;
    }
    EXPECT_EQ(nonzero, 0);
}

TEST_F(TablesAcrossStarts, UnknownSensorKeepsTheGc0307Tables) {
    bio_test::ModuleEnv env;
    load(env, "GC0307");
    ASSERT_NO_THROW(init_module());
    ASSERT_EQ(remapOffsetTable[0][0], 88524U);
    std::vector<std::uint32_t> offsets(&remapOffsetTable[0][0], &remapOffsetTable[0][0] + 320 * 260 * 2);
    std::vector<std::uint32_t> weights(&remapWeightTable[0][0], &remapWeightTable[0][0] + 320 * 260 * 4);
    exit_module();

    env.write_sensor_model("XYZ123");
    ASSERT_NO_THROW(init_module());

    EXPECT_EQ(camera_sensor, "XYZ123");
    EXPECT_EQ(std::memcmp(offsets.data(), remapOffsetTable, sizeof remapOffsetTable), 0);
    EXPECT_EQ(std::memcmp(weights.data(), remapWeightTable, sizeof remapWeightTable), 0);
    EXPECT_EQ(offsetMatrix.size(), 350U);
}

TEST_F(TablesAcrossStarts, ModelChangeRebuildsTheRemapTables) {
    bio_test::ModuleEnv env;
    load(env, "GC0307");
    ASSERT_NO_THROW(init_module());
    EXPECT_EQ(remapOffsetTable[0][0], 88524U);
    exit_module();

    env.write_sensor_model("GC0328");
    ASSERT_NO_THROW(init_module());
    EXPECT_EQ(remapOffsetTable[0][0], 101392U);
    EXPECT_EQ(remapWeightTable[0][0], 705062U);
}

}  // namespace
