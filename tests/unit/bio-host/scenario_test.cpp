// Tests of the scenario lines that bio-host handles itself before the virtual sensor reads
// the timeline.
#include "simulate.h"

#include <stdexcept>
#include <string>

#include <gtest/gtest.h>

namespace bio_host {
namespace {

TEST(BioHostSimScenario, TakesModelAndSensorLinesAndKeepsTheSensorsLines) {
    const SimScenario s = parse_sim_scenario(
        "# demo\n"
        "model GC0307\n"
        "fps 60\n"
        "glass 10f\n"
        "sensor STALL=30:2500\n"
        "finger 500ms\n"
        "repeat\n");
    EXPECT_EQ(s.model, "GC0307");
    ASSERT_EQ(s.sensor_env.size(), 1u);
    EXPECT_EQ(s.sensor_env[0].first, "VSENSOR_STALL");
    EXPECT_EQ(s.sensor_env[0].second, "30:2500");
    // bio-host's lines become blank lines, so the sensor's line numbers stay those of the file.
    EXPECT_EQ(s.timeline, "# demo\n\nfps 60\nglass 10f\n\nfinger 500ms\nrepeat\n");
}

TEST(BioHostSimScenario, DefaultsToGC032A) {
    const SimScenario s = parse_sim_scenario("finger 5f\n");
    EXPECT_EQ(s.model, "GC032A");
    EXPECT_TRUE(s.sensor_env.empty());
}

TEST(BioHostSimScenario, AnUnknownModelNameIsPassedAsWritten) {
    EXPECT_EQ(parse_sim_scenario("model XYZ-123\n").model, "XYZ-123");
}

class BioHostBadScenario : public testing::TestWithParam<const char*> {};

TEST_P(BioHostBadScenario, IsRefusedWithTheLineNumber) {
    try {
        parse_sim_scenario(std::string("glass 1f\n") + GetParam() + "\n");
        FAIL() << GetParam();
    } catch (const std::invalid_argument& e) {
        EXPECT_EQ(std::string(e.what()).rfind("line 2: ", 0), 0u) << e.what();
    }
}

INSTANTIATE_TEST_SUITE_P(Table, BioHostBadScenario,
                         testing::Values("model", "model   ", "sensor", "sensor =1", "sensor lower=1",
                                         "sensor NO_EQUALS"));

}  // namespace
}  // namespace bio_host
