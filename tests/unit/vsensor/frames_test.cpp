// The virtual sensor's frames: empty glass and a synthetic finger must score on the right side
// of a finger detector's threshold, deterministically per seed; scenarios string them together.
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "vsensor/vsensor.h"

namespace {

constexpr std::size_t frame_bytes = 614400;

// Reference block-variance score, written from its definition: the 440 x 280 window at
// (100, 100) in B x B blocks; per block, the rows by + j*S (j*S < B), in each the ceil(B/S)
// adjacent pixels from bx; n = floor(B*B / (S*S)); each block adds sumsq - floor(sum^2 / n);
// the score is floor(floor(total / n) / blocks). The sample of (x, y) is byte 2 * (x + 640 * y).
std::uint64_t reference_score(const std::vector<unsigned char>& frame, unsigned B, unsigned S) {
    const unsigned block_columns = 440 / B;
    const unsigned block_rows = 280 / B;
    const std::uint64_t n = (B * B) / (S * S);
    const unsigned per_row = (B + S - 1) / S;
    std::uint64_t total = 0;
    for (unsigned row = 0; row < block_rows; ++row) {
        for (unsigned column = 0; column < block_columns; ++column) {
            const unsigned bx = 100 + column * B;
            const unsigned by = 100 + row * B;
            std::uint64_t sum = 0;
            std::uint64_t sumsq = 0;
            for (unsigned j = 0; j * S < B; ++j) {
                for (unsigned k = 0; k < per_row; ++k) {
                    const std::uint64_t p = frame[2 * ((bx + k) + 640 * (by + j * S))];
                    sum += p;
                    sumsq += p * p;
                }
            }
            total += sumsq - sum * sum / n;
        }
    }
    return total / n / (std::uint64_t{block_columns} * block_rows);
}

std::vector<unsigned char> uniform_frame(unsigned char level) {
    std::vector<unsigned char> frame(frame_bytes);
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        frame[i] = level;
        frame[i + 1] = 128;
    }
    return frame;
}

vsensor::Config config_with(const std::string& scenario, std::uint32_t seed = 1) {
    vsensor::Config config;
    config.device_path = "/dev/video-vsensor-frames";
    config.scenario = scenario;
    config.seed = seed;
    return config;
}

TEST(VsensorReferenceScore, HandComputableCases) {
    EXPECT_EQ(reference_score(uniform_frame(77), 8, 2), 0u);
    // B = 4, S = 2: every block samples (bx, by), (bx+1, by), (bx, by+2), (bx+1, by+2); with
    // those at 10, 20, 30, 40 each block adds 3000 - 10000/4 = 500, and 7700 * 500 / 4 / 7700
    // = 125.
    auto frame = uniform_frame(0);
    for (unsigned y = 100; y < 380; ++y) {
        for (unsigned x = 100; x < 540; ++x) {
            const unsigned value = ((y - 100) % 4 == 0 ? 10 : 30) + ((x - 100) % 4 == 1 ? 10 : 0);
            frame[2 * (x + 640 * y)] = static_cast<unsigned char>(value);
        }
    }
    EXPECT_EQ(reference_score(frame, 4, 2), 125u);
}

struct ScoreCase {
    unsigned bsize;
    unsigned step;
};

void PrintTo(const ScoreCase& blocks, std::ostream* out) {
    *out << "bsize " << blocks.bsize << " step " << blocks.step;
}

class VsensorScores : public ::testing::TestWithParam<ScoreCase> {};

TEST_P(VsensorScores, GlassIsLowAndFingerIsHighForSeveralSeeds) {
    for (std::uint32_t seed : {1u, 2u, 7u, 12345u}) {
        vsensor::configure(config_with("glass 2f\nfinger 2f\n", seed));
        for (std::uint64_t n : {0u, 1u}) {
            EXPECT_LT(reference_score(vsensor::frame_at(n), GetParam().bsize, GetParam().step), 50u)
                << "glass, seed " << seed << " frame " << n;
        }
        for (std::uint64_t n : {2u, 3u}) {
            EXPECT_GT(reference_score(vsensor::frame_at(n), GetParam().bsize, GetParam().step), 2000u)
                << "finger, seed " << seed << " frame " << n;
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Blocks, VsensorScores, ::testing::Values(ScoreCase{8, 2}, ScoreCase{4, 2}),
                         [](const ::testing::TestParamInfo<ScoreCase>& param_info) {
                             return "b" + std::to_string(param_info.param.bsize) + "_s" +
                                    std::to_string(param_info.param.step);
                         });

TEST(VsensorFrames, PixelPairsCarryTheSampleFirstAndNeutralChroma) {
    vsensor::configure(config_with("finger 1f\n"));
    const auto frame = vsensor::frame_at(0);
    ASSERT_EQ(frame.size(), frame_bytes);
    unsigned darkest = 255;
    unsigned brightest = 0;
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        ASSERT_EQ(frame[i + 1], 128) << "chroma byte at " << i + 1;
        darkest = std::min<unsigned>(darkest, frame[i]);
        brightest = std::max<unsigned>(brightest, frame[i]);
    }
    // Dark ridges and bright valleys about 95 levels either side of 120, glass round the tip.
    EXPECT_LE(darkest, 60u);
    EXPECT_GE(brightest, 180u);
}

TEST(VsensorFrames, SameSeedSameFramesOtherSeedOtherFinger) {
    vsensor::configure(config_with("finger 5f\n", 3));
    const auto first = vsensor::frame_at(4);
    const auto neighbour = vsensor::frame_at(3);
    vsensor::configure(config_with("finger 5f\n", 3));
    EXPECT_TRUE(vsensor::frame_at(4) == first);
    EXPECT_FALSE(neighbour == first) << "consecutive frames should differ by their noise";
    vsensor::configure(config_with("finger 5f\n", 4));
    EXPECT_FALSE(vsensor::frame_at(4) == first);
}

TEST(VsensorFrames, GlassIsFlatWithSmallNoise) {
    vsensor::configure(config_with(""));
    const auto frame = vsensor::frame_at(17);
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        ASSERT_GE(frame[i], 198);
        ASSERT_LE(frame[i], 202);
    }
}

// ---- Timelines.

bool is_finger(const std::vector<unsigned char>& frame) {
    return reference_score(frame, 8, 2) > 2000;
}

std::string pattern(std::uint64_t frames) {
    std::string seen;
    for (std::uint64_t n = 0; n < frames; ++n) {
        seen += is_finger(vsensor::frame_at(n)) ? 'F' : 'g';
    }
    return seen;
}

TEST(VsensorTimeline, StepsFollowEachOtherAndTheLastHolds) {
    vsensor::configure(config_with("# a touch\nglass 2f\nfinger 3f   # pressed\n\nglass 1f\n"));
    EXPECT_EQ(pattern(9), "ggFFFgggg");
}

TEST(VsensorTimeline, RepeatStartsAgain) {
    vsensor::configure(config_with("finger 1f\nglass 2f\nrepeat\n"));
    EXPECT_EQ(pattern(7), "FggFggF");
}

TEST(VsensorTimeline, DurationsCountFramesAtTheFrameRate) {
    auto config = config_with("glass 100ms\nfinger 0.2s\nglass 1f\n");
    config.fps = 20.0;  // 100 ms = 2 frames, 0.2 s = 4 frames
    vsensor::configure(config);
    EXPECT_EQ(pattern(8), "ggFFFFgg");
}

TEST(VsensorTimeline, EmptyScenarioIsGlassForEver) {
    vsensor::configure(config_with(""));
    EXPECT_EQ(pattern(3), "ggg");
}

TEST(VsensorTimeline, SetScenarioReplacesTheTimeline) {
    vsensor::configure(config_with("glass 5f\n"));
    vsensor::set_scenario("finger 2f\nglass 1f\n");
    EXPECT_EQ(pattern(4), "FFgg");
    EXPECT_EQ(vsensor::current_config().scenario, "finger 2f\nglass 1f\n");
}

TEST(VsensorTimeline, ConfigurationLinesApply) {
    vsensor::configure(
        config_with("fps 12.5\nbuffers 2\ncaps capture\nformat 320x240 YUYV\nbuffer_length 4096\n"
                    "seed 9\nglass 1f\n"));
    const auto config = vsensor::current_config();
    EXPECT_DOUBLE_EQ(config.fps, 12.5);
    EXPECT_EQ(config.granted_buffers, 2u);
    EXPECT_EQ(config.capabilities, 0x00000001u);
    EXPECT_EQ(config.width, 320u);
    EXPECT_EQ(config.height, 240u);
    EXPECT_EQ(config.pixelformat, 0x56595559u);  // 'YUYV'
    EXPECT_EQ(config.buffer_length, 4096u);
    EXPECT_EQ(config.seed, 9u);
}

struct BadScenario {
    const char* name;
    const char* text;
    const char* names;  // what the error must mention
};

void PrintTo(const BadScenario& scenario, std::ostream* out) {
    *out << scenario.name;
}

class VsensorBadScenario : public ::testing::TestWithParam<BadScenario> {};

TEST_P(VsensorBadScenario, IsRefusedWithOneLineNamingTheProblem) {
    try {
        vsensor::set_scenario(GetParam().text);
        FAIL() << "accepted: " << GetParam().text;
    } catch (const std::invalid_argument& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find(GetParam().names), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, VsensorBadScenario,
    ::testing::Values(
        BadScenario{"unknown_source", "glass 1f\nfnger 3f\n", "line 2: unknown source or setting 'fnger'"},
        BadScenario{"bad_length", "finger 3x\n", "bad length '3x'"},
        BadScenario{"zero_frames", "finger 0f\n", "bad length '0f'"},
        BadScenario{"unknown_fault_call", "fault dqbufs EINTR\n", "unknown call 'dqbufs'"},
        BadScenario{"unknown_fault_error", "fault dqbuf ENOTANERROR\n", "unknown error 'ENOTANERROR'"},
        BadScenario{"fault_extra_word", "fault dqbuf EINTR after=3\n", "unexpected 'after=3'"},
        BadScenario{"impossible_fps", "fps 5000\n", "impossible frame rate '5000'"},
        BadScenario{"negative_fps", "fps -3\n", "impossible frame rate '-3'"},
        BadScenario{"stall_without_ms", "stall after=3\n", "missing ms="},
        BadScenario{"bad_caps", "caps capture,flying\n", "unknown capability 'flying'"},
        BadScenario{"bad_format", "format 640by480\n", "bad size '640by480'"},
        BadScenario{"missing_recording", "replay /nonexistent/vsensor.biorec\n",
                    "/nonexistent/vsensor.biorec"}),
    [](const ::testing::TestParamInfo<BadScenario>& param_info) {
        return std::string(param_info.param.name);
    });

TEST(VsensorConfig, ImpossibleValuesAreRefused) {
    auto config = config_with("");
    config.fps = -1.0;
    EXPECT_THROW(vsensor::configure(config), std::invalid_argument);
    config.fps = 30.0;
    config.device_path.clear();
    EXPECT_THROW(vsensor::configure(config), std::invalid_argument);
}

}  // namespace
