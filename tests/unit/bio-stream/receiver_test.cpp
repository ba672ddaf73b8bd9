// bio-stream as a program, fed over loopback by the module's own sender: a frame cut short is told
// and counted, a grey frame told and pictured, a raw one told, recorded and pictured by its sampled
// bytes. (The scores file and the frame count of a whole run are seen end to end with bio-host.)
#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/files.h"
#include "bio_test/png.h"
#include "bio_test/process.h"
#include "recording/recording.h"

namespace {

using namespace std::chrono_literals;

TEST(BioStreamReceiver, FramesAreToldRecordedAndPictured) {
    bio_test::TempDir dir;
    bio_test::Process receiver({BIO_STREAM_EXECUTABLE, "--bind", "127.0.0.1", "--port", "0", "--frames", "2",
                                "--out", dir.path(), "--record", dir.file("raw.biorec")});
    const std::string listening = "bio-stream: listening on 127.0.0.1:";
    ASSERT_TRUE(
        receiver.wait_line([&](const std::string& line) { return line.rfind(listening, 0) == 0; }, 10s));
    const int port = std::stoi(receiver.lines().front().substr(listening.size()));

    std::vector<unsigned char> raw(614400);
    for (std::size_t i = 0; i < raw.size(); ++i) {
        raw[i] = static_cast<unsigned char>(i % 2 == 0 ? i / 2 * 7 % 251 : 0xEE);
    }
    send_fingerprint("127.0.0.1", port, 5, raw.data(), 60000);  // no kind is 60000 bytes long
    send_fingerprint("127.0.0.1", port, 12, raw.data(), 91000);
    send_fingerprint("127.0.0.1", port, 300, raw.data(), 614400);
    ASSERT_EQ(receiver.wait_exit(10s), 0);
    // After the start-up lines (two, or three where the kernel's drop count is not to be had, as under qemu).
    const auto& lines = receiver.lines();
    const auto first_frame = std::find_if(lines.begin(), lines.end(),
                                          [](const std::string& line) { return line.rfind("frame ", 0) == 0; });
    EXPECT_EQ(
        std::vector<std::string>(first_frame, lines.end()),
        (std::vector<std::string>{
            "frame 1: score 5, cut short after 60000 bytes", "frame 2: score 12, grey-260x350, 91000 bytes",
            "frame 3: score 300, raw, 614400 bytes", "bio-stream: 2 frames, 1 cut short, 765412 bytes"}));

    recording::Reader recorded(dir.file("raw.biorec"));
    recording::Frame frame;
    ASSERT_TRUE(recorded.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_TRUE(frame.bytes == raw);
    EXPECT_FALSE(recorded.next(frame));

    EXPECT_FALSE(std::filesystem::exists(dir.file("frame-000001.png")));
    const bio_test::Png grey = bio_test::decode_png(dir.file("frame-000002.png"));
    EXPECT_EQ(std::make_tuple(grey.width, grey.height, grey.channels), std::make_tuple(260u, 350u, 1));
    EXPECT_TRUE(grey.samples == std::vector<unsigned char>(raw.begin(), raw.begin() + 91000));
    const bio_test::Png picture = bio_test::decode_png(dir.file("frame-000003.png"));
    ASSERT_EQ(std::make_tuple(picture.width, picture.height, picture.channels),
              std::make_tuple(640u, 480u, 1));
    std::size_t wrong = 0;
    for (std::size_t i = 0; i < picture.samples.size(); ++i) {
        wrong += picture.samples[i] != raw[2 * i];
    }
    EXPECT_EQ(wrong, 0u);
}

}  // namespace
