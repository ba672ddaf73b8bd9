// Frame correction: every variant on hand-set plans (values, turn, inversion, exact output length) and
// against the reference on random plans; then the module's entry point on the real tables of each
// sensor, its choice of form and the failures it raises for broken matrices.
#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
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

// A plan over arrays the test owns; pixel k reads the square with top-left corner (x, y).
struct test_plan {
    explicit test_plan(std::size_t pixels) : offset(pixels), weight{offset, offset, offset, offset} {}
    void set(std::size_t k, int x, int y, std::array<std::uint32_t, 4> w) {
        offset[k] = static_cast<std::uint32_t>(2 * (x + 640 * y));
        for (std::size_t i = 0; i < 4; ++i) {
            weight[i][k] = w[i];
        }
    }
    correction_plan view() const {
        return {offset.data(),
                {weight[0].data(), weight[1].data(), weight[2].data(), weight[3].data()},
                offset.size()};
    }
    std::vector<std::uint32_t> offset;
    std::vector<std::uint32_t> weight[4];
};

class CorrectImage : public testing::TestWithParam<const kernel_variant*> {
protected:
    void SetUp() override {
        frame.fill_random(17);
        // The samples the hand-set pixels read; the second byte of each pixel stays noise.
        sample_at(frame.data(), 10, 20) = 77;
        sample_at(frame.data(), 30, 40) = 100;
        sample_at(frame.data(), 31, 40) = 51;
        sample_at(frame.data(), 50, 61) = 200;
        sample_at(frame.data(), 51, 61) = 33;
        sample_at(frame.data(), 70, 80) = 10;
        sample_at(frame.data(), 71, 80) = 20;
        sample_at(frame.data(), 70, 81) = 30;
        sample_at(frame.data(), 71, 81) = 41;
        sample_at(frame.data(), 639, 479) = 250;  // the frame's last sample, byte 614398
    }

    // Pixels whose results are known, the last one reading the frame's last sample; all others read
    // byte 0 with zero weights.
    static test_plan hand_plan(std::size_t pixels) {
        test_plan plan(pixels);
        plan.set(0, 10, 20, {one, 0, 0, 0});                        // copies P(10, 20) = 77
        plan.set(1, 30, 40, {one / 2, one / 2, 0, 0});              // (100 + 51) / 2 = 75
        plan.set(2, 50, 60, {0, 0, one, 0});                        // bottom: P(50, 61) = 200
        plan.set(3, 50, 60, {0, 0, 0, one});                        // bottom right: P(51, 61) = 33
        plan.set(4, 30, 40, {3 * one, 0, 0, 0});                    // 300, low 8 bits 44
        plan.set(5, 70, 80, {one / 4, one / 4, one / 4, one / 4});  // 101 / 4 = 25
        plan.set(pixels - 1, 638, 478, {0, 0, 0, one});             // P(639, 479) = 250
        return plan;
    }
    static constexpr unsigned char hand_values[6] = {77, 75, 200, 33, 44, 25};

    void correct(const test_plan& plan, correction_flags flags, unsigned char* to) {
        GetParam()->correct(frame.data(), plan.view(), flags, to);
    }

    guarded_buffer frame{frame_size};
};

TEST_P(CorrectImage, ComputesHandSetPixelsAndWritesExactlyThePlansLength) {
    // 83200 and 91000 are whole groups of four; 7 and 9 leave a remainder after the groups.
    for (const std::size_t pixels : {table_pixels, matrix_pixels, std::size_t{7}, std::size_t{9}}) {
        const test_plan plan = hand_plan(pixels);
        guarded_buffer out(pixels + 1);  // one byte more, ending at a page: nothing may go past it
        out.fill(0xAA);
        correct(plan, {false, false}, out.data());
        for (std::size_t k = 0; k < 6; ++k) {
            EXPECT_EQ(out[k], hand_values[k]) << pixels << " pixels, pixel " << k;
        }
        EXPECT_EQ(out[pixels - 1], 250) << pixels;
        std::size_t nonzero = 0;
        for (std::size_t k = 6; k + 1 < pixels; ++k) {
            nonzero += out[k] != 0;
        }
        EXPECT_EQ(nonzero, 0u) << pixels;
        EXPECT_EQ(out[pixels], 0xAA) << pixels << ": one byte too many";
    }
}

TEST_P(CorrectImage, TurnsAndInvertsPixels) {
    struct expectation {
        correction_flags flags;
        std::size_t pixels;
        std::size_t position_of_77, position_of_75, position_of_250, position_other;
        unsigned char v77, v75, v250, v_other;
    };
    const expectation cases[] = {
        {{false, true}, matrix_pixels, 0, 1, matrix_pixels - 1, 1000, 178, 180, 5, 255},  // pixel 1000: 0
        {{true, false}, matrix_pixels, matrix_pixels - 1, matrix_pixels - 2, 0, 1000, 77, 75, 250, 0},
        {{true, true}, matrix_pixels, matrix_pixels - 1, matrix_pixels - 2, 0, 1000, 178, 180, 5, 255},
        {{true, false}, 7, 6, 5, 0, 1, 77, 75, 250, 25},  // pixel 5: 25
        {{true, true}, 9, 8, 7, 0, 6, 178, 180, 5, 55},   // pixel 2: 255 - 200
    };
    for (const expectation& e : cases) {
        const test_plan plan = hand_plan(e.pixels);
        guarded_buffer out(e.pixels);
        correct(plan, e.flags, out.data());
        const std::string what = std::to_string(e.pixels) + " pixels, invert " +
                                 std::to_string(e.flags.invert) + " invert_pixels " +
                                 std::to_string(e.flags.invert_pixels);
        EXPECT_EQ(out[e.position_of_77], e.v77) << what;
        EXPECT_EQ(out[e.position_of_75], e.v75) << what;
        EXPECT_EQ(out[e.position_of_250], e.v250) << what;
        EXPECT_EQ(out[e.position_other], e.v_other) << what;
    }
}

TEST_P(CorrectImage, RandomPlansMatchTheReference) {
    for (const std::size_t pixels : {matrix_pixels, table_pixels + 3}) {
        test_plan plan(pixels);
        std::mt19937 generator(static_cast<std::uint32_t>(pixels));
        std::uniform_int_distribution<int> x0(0, 638);
        std::uniform_int_distribution<int> y0(0, 478);
        std::uniform_int_distribution<std::uint32_t> weight(0, one);
        for (std::size_t k = 0; k < pixels; ++k) {
            const bool corner = k % 997 == 0;  // some pixels read the frame's last sample
            plan.set(k, corner ? 638 : x0(generator), corner ? 478 : y0(generator),
                     {weight(generator), weight(generator), weight(generator), weight(generator)});
        }
        frame.fill_random(static_cast<std::uint32_t>(pixels) + 1);
        guarded_buffer expected(pixels);
        guarded_buffer out(pixels);
        for (const bool turn : {false, true}) {
            for (const bool negative : {false, true}) {
                correct_image_reference(frame.data(), plan.view(), {turn, negative}, expected.data());
                correct(plan, {turn, negative}, out.data());
                EXPECT_EQ(std::memcmp(out.data(), expected.data(), pixels), 0)
                    << pixels << " pixels, invert " << turn << " invert_pixels " << negative;
            }
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Kernels, CorrectImage, testing::ValuesIn(every_variant()), variant_name);

// The module's entry point: module state set as a camera start sets it.
class CorrectImageEntry : public testing::Test {
protected:
    void SetUp() override {
        invert = false;
        invert_pixels = false;
        for (std::size_t i = 0; i < frame_size; ++i) {
            frame[i] = static_cast<unsigned char>(i % 251);
        }
    }
    guarded_buffer frame{frame_size};
    guarded_buffer out{matrix_pixels};
};

// Reference entries of the tables' builders, in a frame whose byte i is i mod 251; values by hand.
TEST_F(CorrectImageEntry, CorrectsWithTheBuiltTablesOfEachSensor) {
    struct entry {
        const char* sensor;
        std::size_t position;  // row * 260 + column
        unsigned char value;
    };
    const entry entries[] = {
        {"GC0307", 0, 188},
        {"GC0307", 319 * 260 + 259, 98},
        {"GC0328", 0, 228},
        {"GC0328", 160 * 260 + 130, 163},
        {"GC032A", 0, 105},
        {"GC032A", 349 * 260 + 259, 143},
        {"GC032A", 175 * 260 + 130, 118},
    };
    for (const char* sensor : {"GC0307", "GC0328", "GC032A"}) {
        camera_sensor = sensor;
        build_correction_tables();
        const bool matrix = camera_sensor == "GC032A";
        const std::size_t pixels = matrix ? matrix_pixels : table_pixels;
        for (const bool turn : {false, true}) {
            for (const bool negative : {false, true}) {
                invert = turn;
                invert_pixels = negative;
                correct_image(frame.data(), out.data());
                for (const entry& e : entries) {
                    if (camera_sensor != e.sensor) {
                        continue;
                    }
                    // Only the GC032A image is ever inverted.
                    const int value = matrix && negative ? 255 - e.value : e.value;
                    EXPECT_EQ(out[turn ? pixels - 1 - e.position : e.position], value)
                        << sensor << " pixel " << e.position << " invert " << turn << " invert_pixels "
                        << negative;
                }
            }
        }
    }
}

TEST_F(CorrectImageEntry, OtherSensorsReadTheRemapTablesZerosBeforeTheFirstBuild) {
    std::memset(remapOffsetTable, 0, sizeof remapOffsetTable);
    std::memset(remapWeightTable, 0, sizeof remapWeightTable);
    for (const char* sensor : {"None", "unknown", "gc032a"}) {
        camera_sensor = sensor;
        build_correction_tables();
        out.fill(0xAA);
        correct_image(frame.data(), out.data());
        std::size_t nonzero = 0;
        for (std::size_t k = 0; k < table_pixels; ++k) {
            nonzero += out[k] != 0;
        }
        EXPECT_EQ(nonzero, 0u) << sensor;
        EXPECT_EQ(out[table_pixels], 0xAA) << sensor << ": the table form writes 83200 bytes";
    }
}

// Matrices of the given shape whose entries all read pixel (0, 0) with zero weights.
void reset_matrices(std::size_t rows, std::size_t columns) {
    offsetMatrix.assign(rows, std::vector<offset_entry>(columns, offset_entry{}));
    weightMatrix.assign(rows, std::vector<weight_entry>(columns, weight_entry{}));
}

TEST_F(CorrectImageEntry, MatrixShapeComesFromOffsetMatrixAndAnEmptyOneWritesNothing) {
    camera_sensor = "GC032A";
    guarded_buffer small(6);  // 2 rows of 3: a seventh byte written would fault
    reset_matrices(2, 3);
    offsetMatrix[1][2] = {10, 20, 11, 20, 10, 21, 11, 21};
    weightMatrix[1][2] = {static_cast<std::int32_t>(one), 0, 0, 0};
    small.fill(0xAA);
    correct_image(frame.data(), small.data());
    const unsigned char expected[6] = {0, 0, 0,
                                       0, 0, static_cast<unsigned char>((2 * (10 + 640 * 20)) % 251)};
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(small[i], expected[i]) << i;
    }

    offsetMatrix.clear();
    small.fill(0xAA);
    correct_image(frame.data(), small.data());
    for (std::size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(small[i], 0xAA) << i;
    }
}

TEST_F(CorrectImageEntry, ShortMatricesRaiseOutOfRange) {
    camera_sensor = "GC032A";
    const std::function<void()> breakages[] = {
        [] { weightMatrix.pop_back(); },       // 349 weight rows
        [] { weightMatrix[100].pop_back(); },  // a weight row of 259 entries
        [] { offsetMatrix[5].pop_back(); },    // an offset row shorter than the first one
        [] { weightMatrix.clear(); },
    };
    for (const auto& breakage : breakages) {
        reset_matrices(350, 260);
        breakage();
        EXPECT_THROW(correct_image(frame.data(), out.data()), std::out_of_range);
    }
}

}  // namespace
