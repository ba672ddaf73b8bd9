// Replay of a recording by the virtual sensor: the recorded frames come out as they were
// written, in order, then the timeline goes on.
#include <cstdio>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "recording/recording.h"
#include "v4l2_client.h"
#include "vsensor/vsensor.h"

namespace {

constexpr const char* device_path = "/dev/video-vsensor-replay";
constexpr std::size_t frame_bytes = 614400;

// A frame whose every sample is `level` (the second byte of each pair is 128).
std::vector<unsigned char> flat_frame(unsigned char level) {
    std::vector<unsigned char> frame(frame_bytes);
    for (std::size_t i = 0; i < frame.size(); i += 2) {
        frame[i] = level;
        frame[i + 1] = 128;
    }
    return frame;
}

class VsensorReplay : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = ::testing::TempDir() + "vsensor-replay-" + std::to_string(::getpid()) + ".biorec";
        recording::Writer writer(path_);
        for (unsigned char level : {10, 20, 30}) {
            const auto frame = flat_frame(level);
            writer.append(level, frame.data());
        }
        writer.close();
    }
    void TearDown() override { std::remove(path_.c_str()); }

    void configure(const std::string& scenario) {
        vsensor::Config config;
        config.device_path = device_path;
        config.fps = 0.0;
        config.scenario = scenario;
        vsensor::configure(config);
    }

    std::string path_;
};

TEST_F(VsensorReplay, FramesOfTheRecordingThenTheNextStep) {
    configure("replay " + path_ + "\nglass 1f\n");
    EXPECT_TRUE(vsensor::frame_at(0) == flat_frame(10));
    EXPECT_TRUE(vsensor::frame_at(1) == flat_frame(20));
    EXPECT_TRUE(vsensor::frame_at(2) == flat_frame(30));
    const auto glass = vsensor::frame_at(3);
    EXPECT_GE(glass[0], 198);
    EXPECT_LE(glass[0], 202);
}

TEST_F(VsensorReplay, LastFrameHoldsWithoutRepeat) {
    configure("glass 1f\nreplay " + path_ + "\n");
    EXPECT_TRUE(vsensor::frame_at(3) == flat_frame(30));
    EXPECT_TRUE(vsensor::frame_at(10) == flat_frame(30));
}

TEST_F(VsensorReplay, RepeatPlaysItAgain) {
    configure("replay " + path_ + "\nrepeat\n");
    EXPECT_TRUE(vsensor::frame_at(3) == flat_frame(10));
    EXPECT_TRUE(vsensor::frame_at(5) == flat_frame(30));
    // Backwards after forwards: the reader starts over.
    EXPECT_TRUE(vsensor::frame_at(1) == flat_frame(20));
}

TEST_F(VsensorReplay, StreamedInOrder) {
    configure("replay " + path_ + "\nrepeat\n");
    vsensor_test::Client client(device_path);
    ASSERT_TRUE(client.start());
    const unsigned char expected[] = {10, 20, 30, 10, 20};
    for (unsigned char level : expected) {
        const auto frame = client.next_frame();
        ASSERT_TRUE(frame.has_value());
        EXPECT_TRUE(frame->bytes == flat_frame(level)) << "expected level " << int(level);
    }
}

TEST_F(VsensorReplay, EmptyRecordingIsRefused) {
    const std::string empty = path_ + ".empty";
    {
        recording::Writer writer(empty);
        writer.close();
    }
    vsensor::Config config;
    config.device_path = device_path;
    config.scenario = "replay " + empty + "\n";
    EXPECT_THROW(vsensor::configure(config), std::invalid_argument);
    std::remove(empty.c_str());
}

}  // namespace
