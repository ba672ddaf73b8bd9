// Frame correction: hand-set table entries in both forms, the turn and the inversion, short matrices,
// and every variant against the reference on random frames and tables.
#include <cstdint>
#include <cstring>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "finger_kernels.h"
#include "guarded_buffer.h"

namespace {

constexpr std::size_t frame_size = 614400;
constexpr std::size_t table_pixels = 83200;   // 320 x 260
constexpr std::size_t matrix_pixels = 91000;  // 350 x 260
constexpr std::uint32_t one = 1u << 20;       // weight 1.0

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

std::uint32_t offset_of(int x, int y) {
    return static_cast<std::uint32_t>(2 * (x + 640 * y));
}

void set_remap(std::size_t k, int x, int y, std::uint32_t w0, std::uint32_t w1, std::uint32_t w2,
               std::uint32_t w3) {
    remapOffsetTable[k][0] = offset_of(x, y);
    remapOffsetTable[k][1] = offset_of(x, y + 1);
    remapWeightTable[k][0] = w0;
    remapWeightTable[k][1] = w1;
    remapWeightTable[k][2] = w2;
    remapWeightTable[k][3] = w3;
}

// Matrices of the given shape whose entries all read pixel (0, 0) with zero weights.
void reset_matrices(std::size_t rows, std::size_t columns) {
    offsetMatrix.assign(rows, std::vector<offset_entry>(columns, offset_entry{}));
    weightMatrix.assign(rows, std::vector<weight_entry>(columns, weight_entry{}));
}

// Entry (r, c) reads the square of pixels with top-left corner (x, y).
void set_matrix(std::size_t r, std::size_t c, int x, int y, weight_entry weights) {
    offsetMatrix.at(r).at(c) = {x, y, x + 1, y, x, y + 1, x + 1, y + 1};
    weightMatrix.at(r).at(c) = weights;
}

class CorrectImage : public testing::TestWithParam<const kernel_variant*> {
protected:
    void SetUp() override {
        invert = false;
        invert_pixels = false;
        camera_sensor = "GC0307";
        std::memset(remapOffsetTable, 0, sizeof remapOffsetTable);
        std::memset(remapWeightTable, 0, sizeof remapWeightTable);
        offsetMatrix.clear();
        weightMatrix.clear();
        frame.fill_random(17);
        // The samples the hand-set entries read; the second byte of each pixel stays noise.
        sample_at(frame.data(), 10, 20) = 77;
        sample_at(frame.data(), 30, 40) = 100;
        sample_at(frame.data(), 31, 40) = 51;
        sample_at(frame.data(), 50, 61) = 200;
        sample_at(frame.data(), 51, 61) = 33;
        sample_at(frame.data(), 70, 80) = 10;
        sample_at(frame.data(), 71, 80) = 20;
        sample_at(frame.data(), 70, 81) = 30;
        sample_at(frame.data(), 71, 81) = 41;
        sample_at(frame.data(), 5, 7) = 77;
        sample_at(frame.data(), 10, 10) = 100;
        sample_at(frame.data(), 11, 11) = 51;
        sample_at(frame.data(), 20, 31) = 3;
        sample_at(frame.data(), 639, 479) = 250;  // the frame's last sample, byte 614398
    }

    // Remap entries whose results are known; all other entries read byte 0 with zero weights.
    void set_hand_remap() {
        set_remap(0, 10, 20, one, 0, 0, 0);                        // copies P(10, 20) = 77
        set_remap(1, 30, 40, one / 2, one / 2, 0, 0);              // (100 + 51) / 2 = 75
        set_remap(2, 50, 60, 0, 0, one, 0);                        // bottom: P(50, 61) = 200
        set_remap(3, 50, 60, 0, 0, 0, one);                        // bottom + 2: P(51, 61) = 33
        set_remap(4, 30, 40, 3 * one, 0, 0, 0);                    // 300, low 8 bits 44
        set_remap(5, 70, 80, one / 4, one / 4, one / 4, one / 4);  // 101 / 4 = 25
        set_remap(table_pixels - 1, 638, 478, 0, 0, 0, one);       // P(639, 479) = 250
    }
    static constexpr unsigned char hand_remap_values[6] = {77, 75, 200, 33, 44, 25};

    void set_hand_matrices() {
        reset_matrices(350, 260);
        set_matrix(0, 0, 5, 7, {static_cast<std::int32_t>(one), 0, 0, 0});  // 77
        set_matrix(1, 2, 10, 10,
                   {static_cast<std::int32_t>(one / 2), 0, 0, static_cast<std::int32_t>(one / 2)});  // 75
        set_matrix(2, 0, 20, 30, {0, 0, static_cast<std::int32_t>(one), 0});        // P(20, 31) = 3
        set_matrix(349, 259, 638, 478, {0, 0, 0, static_cast<std::int32_t>(one)});  // 250
    }

    void correct() { GetParam()->correct(frame.data(), out.data()); }

    guarded_buffer frame{frame_size};
    guarded_buffer out{matrix_pixels};  // ends at a page: no variant may write past the image
};

TEST_P(CorrectImage, TableFormComputesHandSetEntries) {
    set_hand_remap();
    for (const char* sensor : {"GC0307", "GC0328", "unknown", "gc032a", "None"}) {
        camera_sensor = sensor;
        out.fill(0xAA);
        correct();
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(out[k], hand_remap_values[k]) << sensor << " entry " << k;
        }
        EXPECT_EQ(out[table_pixels - 1], 250) << sensor;
        std::size_t nonzero = 0;
        for (std::size_t k = 6; k < table_pixels - 1; ++k) {
            nonzero += out[k] != 0;
        }
        EXPECT_EQ(nonzero, 0u) << sensor;
        EXPECT_EQ(out[table_pixels], 0xAA) << sensor << ": the table form writes 83200 bytes";
    }
}

TEST_P(CorrectImage, TableFormTurnsButNeverInvertsPixels) {
    set_hand_remap();
    for (const char* sensor : {"GC0307", "GC0328", "unknown"}) {
        camera_sensor = sensor;
        invert = true;
        invert_pixels = true;  // ignored in the table form
        correct();
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(out[table_pixels - 1 - k], hand_remap_values[k]) << sensor << " entry " << k;
        }
        EXPECT_EQ(out[0], 250) << sensor;
        EXPECT_EQ(out[table_pixels / 2], 0) << sensor;

        invert = false;
        correct();
        EXPECT_EQ(out[0], 77) << sensor;
        EXPECT_EQ(out[table_pixels - 1], 250) << sensor;
        EXPECT_EQ(out[table_pixels / 2], 0) << sensor;
    }
}

TEST_P(CorrectImage, MatrixFormComputesHandSetEntries) {
    camera_sensor = "GC032A";
    set_hand_remap();  // must not be read for the GC032A
    set_hand_matrices();
    out.fill(0xAA);
    correct();
    EXPECT_EQ(out[0], 77);
    EXPECT_EQ(out[1 * 260 + 2], 75);
    EXPECT_EQ(out[2 * 260 + 0], 3);
    EXPECT_EQ(out[matrix_pixels - 1], 250);
    EXPECT_EQ(out[1], 0);
    EXPECT_EQ(out[5], 0);
    EXPECT_EQ(out[table_pixels], 0);
}

TEST_P(CorrectImage, MatrixFormTurnsAndInvertsPixels) {
    camera_sensor = "GC032A";
    set_hand_matrices();
    struct expectation {
        bool turn;
        bool negative;
        std::size_t position_of_77, position_of_75, position_of_250;
        unsigned char v77, v75, v250, v_zero;
    };
    const expectation cases[] = {
        {false, true, 0, 262, matrix_pixels - 1, 178, 180, 5, 255},
        {true, false, matrix_pixels - 1, matrix_pixels - 1 - 262, 0, 77, 75, 250, 0},
        {true, true, matrix_pixels - 1, matrix_pixels - 1 - 262, 0, 178, 180, 5, 255},
    };
    for (const expectation& e : cases) {
        invert = e.turn;
        invert_pixels = e.negative;
        correct();
        EXPECT_EQ(out[e.position_of_77], e.v77) << "invert " << e.turn << " invert_pixels " << e.negative;
        EXPECT_EQ(out[e.position_of_75], e.v75) << "invert " << e.turn << " invert_pixels " << e.negative;
        EXPECT_EQ(out[e.position_of_250], e.v250) << "invert " << e.turn << " invert_pixels " << e.negative;
        EXPECT_EQ(out[1000], e.v_zero) << "invert " << e.turn << " invert_pixels " << e.negative;
    }
}

TEST_P(CorrectImage, MatrixShapeComesFromOffsetMatrix) {
    camera_sensor = "GC032A";
    guarded_buffer small(6);  // 2 rows of 3: a seventh byte written would fault
    reset_matrices(2, 3);
    set_matrix(1, 2, 5, 7, {static_cast<std::int32_t>(one), 0, 0, 0});
    small.fill(0xAA);
    GetParam()->correct(frame.data(), small.data());
    const unsigned char expected[6] = {0, 0, 0, 0, 0, 77};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(small[i], expected[i]) << i;
    }
    invert = true;
    GetParam()->correct(frame.data(), small.data());
    EXPECT_EQ(small[0], 77);
    EXPECT_EQ(small[5], 0);

    // An empty offsetMatrix writes nothing, whatever weightMatrix holds.
    offsetMatrix.clear();
    small.fill(0xAA);
    GetParam()->correct(frame.data(), small.data());
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(small[i], 0xAA) << i;
    }
}

TEST_P(CorrectImage, ShortMatricesRaiseOutOfRange) {
    camera_sensor = "GC032A";
    set_hand_matrices();
    weightMatrix.pop_back();  // 349 weight rows
    EXPECT_THROW(correct(), std::out_of_range);

    set_hand_matrices();
    weightMatrix[100].pop_back();  // a weight row of 259 entries
    EXPECT_THROW(correct(), std::out_of_range);

    set_hand_matrices();
    offsetMatrix[5].pop_back();  // an offset row shorter than the first one
    EXPECT_THROW(correct(), std::out_of_range);

    set_hand_matrices();
    weightMatrix.clear();
    EXPECT_THROW(correct(), std::out_of_range);
}

// Valid random tables: every corner inside the frame, weights up to 1.0 each, including entries
// that read the frame's last pixel.
void fill_random_tables(std::uint32_t seed) {
    std::mt19937 generator(seed);
    std::uniform_int_distribution<int> x0(0, 638);
    std::uniform_int_distribution<int> y0(0, 478);
    std::uniform_int_distribution<std::uint32_t> weight(0, one);
    for (std::size_t k = 0; k < table_pixels; ++k) {
        const bool corner = k % 997 == 0;
        set_remap(k, corner ? 638 : x0(generator), corner ? 478 : y0(generator), weight(generator),
                  weight(generator), weight(generator), weight(generator));
    }
    reset_matrices(350, 260);
    for (std::size_t r = 0; r < 350; ++r) {
        for (std::size_t c = 0; c < 260; ++c) {
            const bool corner = (r * 260 + c) % 991 == 0;
            set_matrix(
                r, c, corner ? 638 : x0(generator), corner ? 478 : y0(generator),
                {static_cast<std::int32_t>(weight(generator)), static_cast<std::int32_t>(weight(generator)),
                 static_cast<std::int32_t>(weight(generator)), static_cast<std::int32_t>(weight(generator))});
        }
    }
}

TEST_P(CorrectImage, RandomFramesMatchTheReference) {
    guarded_buffer expected(matrix_pixels);
    for (std::uint32_t seed = 1; seed <= 2; ++seed) {
        frame.fill_random(seed);
        fill_random_tables(seed + 100);
        for (const char* sensor : {"GC0307", "GC032A", "unknown"}) {
            camera_sensor = sensor;
            for (const bool turn : {false, true}) {
                for (const bool negative : {false, true}) {
                    invert = turn;
                    invert_pixels = negative;
                    expected.fill(0x5A);
                    out.fill(0x5A);
                    correct_image_reference(frame.data(), expected.data());
                    correct();
                    EXPECT_EQ(std::memcmp(out.data(), expected.data(), matrix_pixels), 0)
                        << "seed " << seed << " " << sensor << " invert " << turn << " invert_pixels "
                        << negative;
                }
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, CorrectImage, testing::ValuesIn(every_variant()), variant_name);

TEST(CorrectImageEntry, ModuleEntryPointCorrectsWithTheChosenVariant) {
    guarded_buffer frame(frame_size);
    guarded_buffer out(matrix_pixels);
    frame.fill(0);
    sample_at(frame.data(), 10, 20) = 77;
    invert = false;
    invert_pixels = false;
    camera_sensor = "GC0328";
    std::memset(remapOffsetTable, 0, sizeof remapOffsetTable);
    std::memset(remapWeightTable, 0, sizeof remapWeightTable);
    set_remap(7, 10, 20, one, 0, 0, 0);
    out.fill(0xAA);
    correct_image(frame.data(), out.data());
    EXPECT_EQ(out[7], 77);
    EXPECT_EQ(out[0], 0);
    EXPECT_EQ(out[table_pixels], 0xAA);
}

}  // namespace
