// Recordings: frames come back as written with their scores (least significant byte first on
// disk, so a board's recording reads the same on a desktop), a cut-off last frame is dropped,
// and a file that is not a recording is refused naming the path and the problem.
#include "recording/recording.h"

#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "bio_test/files.h"

namespace {

TEST(Recording, FramesComeBackAsWrittenAndACutOffLastFrameIsDropped) {
    bio_test::TempDir dir;
    const std::string path = dir.file("two.biorec");
    const std::vector<unsigned char> first(recording::raw_frame_bytes, 1),
        second(recording::raw_frame_bytes, 2);
    recording::Writer writer(path);
    writer.append(-2, first.data());
    writer.append(300, second.data());
    writer.close();
    std::string bytes = bio_test::read_file(path);
    ASSERT_EQ(bytes.size(), 16u + 2 * (4 + 614400));
    EXPECT_EQ(bytes.substr(16, 4), std::string("\xFE\xFF\xFF\xFF", 4));

    recording::Reader reader(path);
    recording::Frame frame;
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, -2);
    EXPECT_TRUE(frame.bytes == first);
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_TRUE(frame.bytes == second);
    EXPECT_FALSE(reader.next(frame));

    bytes.pop_back();  // the recorder was stopped inside the last frame
    bio_test::write_file(dir.file("cut.biorec"), bytes);
    recording::Reader cut(dir.file("cut.biorec"));
    EXPECT_TRUE(cut.next(frame));
    EXPECT_FALSE(cut.next(frame));
}

// Each file is refused naming the path and the problem.
TEST(RecordingRefusal, FilesThatAreNoRecordings) {
    const std::pair<std::string, std::string> refusals[] = {
        {std::string("\x89PNG\r\n\x1A\n\0\0\0\rIHDR", 16), "bad magic (not a recording)"},
        {std::string("BIOREC01\x00\x60", 10), "truncated header"},
        // 91000 bytes a frame: a grey image's size, not a raw frame's.
        {std::string("BIOREC01\x78\x63\x01\0\0\0\0\0", 16), "unexpected frame size 91000 (expected 614400)"}};
    bio_test::TempDir dir;
    for (const auto& [bytes, problem] : refusals) {
        bio_test::write_file(dir.file("in.biorec"), bytes);
        try {
            recording::Reader reader(dir.file("in.biorec"));
            ADD_FAILURE() << "accepted, expected " << problem;
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "recording " + dir.file("in.biorec") + ": " + problem);
        }
    }
}

}  // namespace
