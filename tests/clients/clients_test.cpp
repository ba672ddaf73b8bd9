// The virtual sensor as the standard V4L2 tools see it, each run with the sensor preloaded:
// v4l2-compliance's streaming judgement, v4l2-ctl's listing and its capture (byte for byte the
// scenario's frames), GStreamer's and ffmpeg's pictures of the scenario's finger.
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"
#include "bio_test/png.h"
#include "bio_test/process.h"
#include "vsensor/vsensor.h"

namespace {

using namespace std::chrono_literals;

// The tests run where the tools are; scripts/setup-deps installs them.
#define REQUIRE_TOOL(name)                                                       \
    if (std::system("command -v " name " >/dev/null") != 0) {                    \
        GTEST_SKIP() << name                                                     \
            " is not installed (Debian packages v4l-utils, gstreamer1.0-tools, " \
            "gstreamer1.0-plugins-good, ffmpeg: scripts/setup-deps)";            \
    }

constexpr const char* device = "/dev/video-vsensor";
// Twenty frames of the finger, then glass, at 30 frames a second.
constexpr const char* scenario = "finger 20f\nglass\n";

class Clients : public testing::Test {
protected:
    void SetUp() override {
        bio_test::write_file(dir.file("scenario"), scenario);
        vsensor::Config config;
        config.scenario = scenario;
        vsensor::configure(config);  // frame_at then names the frames the tools receive
    }

    // Runs `argv` with the sensor preloaded: its exit status, its output in `out`.
    int run(const std::vector<std::string>& argv) {
        bio_test::Process tool(argv, {"LD_PRELOAD=" BIO_PRELOAD, "ASAN_OPTIONS=detect_leaks=0",
                                      "VSENSOR_SCENARIO=" + dir.file("scenario")});
        const int status = tool.wait_exit(60s);
        out.clear();
        for (const auto& line : tool.lines()) {
            out += line + "\n";
        }
        return status;
    }

    bio_test::TempDir dir;
    std::string out;
};

TEST_F(Clients, ComplianceStreamingHasNoFailure) {
    REQUIRE_TOOL("v4l2-compliance");
    ASSERT_EQ(run({"v4l2-compliance", "-d", device, "-s"}), 0) << out;
    std::smatch total;
    ASSERT_TRUE(std::regex_search(out, total,
                                  std::regex("Total for vsensor device .*: (\\d+), Succeeded: (\\d+), "
                                             "Failed: 0, Warnings: (\\d+)")))
        << out;
    EXPECT_EQ(total[1], total[2]);
    EXPECT_LE(std::stoi(total[3]), 1) << out;  // CREATE_BUFS, not emulated
}

TEST_F(Clients, CtlListsTheDeviceAndCapturesTheScenarioByteForByte) {
    REQUIRE_TOOL("v4l2-ctl");
    ASSERT_EQ(run({"v4l2-ctl", "-d", device, "--all", "--list-formats-ext"}), 0) << out;
    for (const char* expected : {"Driver name      : vsensor", "Video input : 0 (Camera: ok)",
                                 "'UYVY' (UYVY 4:2:2)", "Size: Discrete 640x480", "(30.000 fps)"}) {
        EXPECT_NE(out.find(expected), std::string::npos) << expected << " in\n" << out;
    }
    const std::string file = dir.file("frames.raw");
    ASSERT_EQ(run({"v4l2-ctl", "-d", device, "--stream-mmap", "--stream-count=60", "--stream-to=" + file}), 0)
        << out;
    const std::string captured = bio_test::read_file(file);
    ASSERT_EQ(captured.size(), 60u * 614400);
    for (std::size_t n = 0; n < 60; ++n) {
        const std::vector<unsigned char> frame = vsensor::frame_at(n);
        EXPECT_TRUE(
            captured.compare(n * frame.size(), frame.size(), std::string(frame.begin(), frame.end())) == 0)
            << "frame " << n;
    }
}

// The sample travels in the first byte of each pixel pair, where UYVY puts chroma: decoded as the
// driver labels it, the finger shows in colour (ridges in the centre, none on the glass).
TEST_F(Clients, GstreamerPicturesShowTheFinger) {
    REQUIRE_TOOL("gst-launch-1.0");
    ASSERT_EQ(run({"gst-launch-1.0", "-q", "v4l2src", std::string("device=") + device, "num-buffers=30", "!",
                   "videoconvert", "!", "video/x-raw,format=RGB", "!", "pngenc", "!", "multifilesink",
                   "location=" + dir.file("gst%02d.png")}),
              0)
        << out;
    for (int n = 0; n < 30; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "gst%02d.png", n);
        const bio_test::Png picture = bio_test::decode_png(dir.file(name));
        ASSERT_EQ(picture.width * picture.height, 640u * 480);
        // The green samples of the central 64 x 64 pixels: their spread.
        double sum = 0, squares = 0;
        for (unsigned y = 208; y < 272; ++y) {
            for (unsigned x = 288; x < 352; ++x) {
                const double green = picture.samples[3 * (y * 640 + x) + 1];
                sum += green;
                squares += green * green;
            }
        }
        const double variance = squares / 4096 - (sum / 4096) * (sum / 4096);
        EXPECT_EQ(variance > 1000, n < 20) << "picture " << n << ": variance " << variance;
    }
}

// ffmpeg's extraction of that byte as a grey picture (320 x 480) is the frame's samples, exactly.
TEST_F(Clients, FfmpegPicturesAreTheScenariosFrames) {
    REQUIRE_TOOL("ffmpeg");
    ASSERT_EQ(run({"ffmpeg", "-hide_banner", "-loglevel", "error", "-f", "v4l2", "-i", device, "-frames:v",
                   "30", "-fps_mode", "passthrough", "-enc_time_base", "-1", "-vf", "extractplanes=u",
                   "-start_number", "0", dir.file("ff%02d.png")}),
              0)
        << out;
    for (int n = 0; n < 30; ++n) {
        char name[16];
        std::snprintf(name, sizeof name, "ff%02d.png", n);
        const bio_test::Png picture = bio_test::decode_png(dir.file(name));
        const std::vector<unsigned char> frame = vsensor::frame_at(static_cast<std::uint64_t>(n));
        std::vector<unsigned char> samples;
        for (std::size_t i = 0; i < frame.size(); i += 4) {
            samples.push_back(frame[i]);
        }
        EXPECT_EQ(picture.width, 320u);
        EXPECT_TRUE(picture.samples == samples) << "picture " << n;
    }
}

}  // namespace
