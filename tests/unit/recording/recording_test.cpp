// Recording reader and writer: frames come back as written, a cut-off tail is dropped, and
// files that are not recordings are refused with the path in the message.
#include "recording/recording.h"

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

namespace fs = std::filesystem;

class RecordingTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "biorec-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    std::string file(const std::string& name) const { return (dir_ / name).string(); }

    static std::vector<unsigned char> frame_of(unsigned seed) {
        std::vector<unsigned char> bytes(recording::raw_frame_bytes);
        for (std::size_t i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<unsigned char>((i * 7 + seed * 31) & 0xFF);
        }
        return bytes;
    }

    static std::vector<unsigned char> read_all(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    }

    static void write_all(const std::string& path, const std::vector<unsigned char>& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }

    fs::path dir_;
};

TEST_F(RecordingTest, FramesComeBackInOrderWithTheirScores) {
    const std::string path = file("three.biorec");
    const std::int32_t scores[] = {300, -5, 2147483647};
    {
        recording::Writer writer(path);
        for (unsigned i = 0; i < 3; ++i) {
            writer.append(scores[i], frame_of(i).data());
        }
        EXPECT_EQ(writer.frames(), 3u);
        writer.close();
    }
    recording::Reader reader(path);
    recording::Frame frame;
    for (unsigned i = 0; i < 3; ++i) {
        ASSERT_TRUE(reader.next(frame)) << "frame " << i;
        EXPECT_EQ(frame.score, scores[i]);
        EXPECT_EQ(frame.bytes, frame_of(i)) << "frame " << i;
    }
    EXPECT_FALSE(reader.next(frame));
    EXPECT_FALSE(reader.next(frame));

    reader.rewind();
    ASSERT_TRUE(reader.next(frame));
    EXPECT_EQ(frame.score, 300);
    EXPECT_EQ(frame.bytes, frame_of(0));
}

TEST_F(RecordingTest, LayoutIsLittleEndianHeaderThenScoredFrames) {
    const std::string path = file("layout.biorec");
    {
        recording::Writer writer(path);
        writer.append(300, frame_of(1).data());
    }  // the destructor closes
    const std::vector<unsigned char> bytes = read_all(path);
    ASSERT_EQ(bytes.size(), 16u + 4u + 614400u);
    const std::vector<unsigned char> header(bytes.begin(), bytes.begin() + 20);
    // "BIOREC01", 614400 = 0x00096000, reserved 0, score 300 = 0x0000012C.
    EXPECT_THAT(header, ::testing::ElementsAre('B', 'I', 'O', 'R', 'E', 'C', '0', '1', 0x00, 0x60, 0x09, 0x00,
                                               0, 0, 0, 0, 0x2C, 0x01, 0x00, 0x00));
    EXPECT_EQ(bytes[20], frame_of(1)[0]);
    EXPECT_EQ(bytes.back(), frame_of(1).back());
}

TEST_F(RecordingTest, EmptyRecordingHasNoFrames) {
    const std::string path = file("empty.biorec");
    recording::Writer(path).close();
    recording::Reader reader(path);
    recording::Frame frame;
    EXPECT_FALSE(reader.next(frame));
}

TEST_F(RecordingTest, TruncatedLastFrameIsIgnored) {
    const std::string path = file("cut.biorec");
    {
        recording::Writer writer(path);
        writer.append(11, frame_of(1).data());
        writer.append(22, frame_of(2).data());
    }
    for (const std::size_t cut : {std::size_t{1}, std::size_t{4}, std::size_t{5000}, std::size_t{614403}}) {
        std::vector<unsigned char> bytes = read_all(path);
        bytes.resize(16 + 614404 + cut);
        const std::string cut_path = file("cut-" + std::to_string(cut) + ".biorec");
        write_all(cut_path, bytes);

        recording::Reader reader(cut_path);
        recording::Frame frame;
        ASSERT_TRUE(reader.next(frame)) << "cut " << cut;
        EXPECT_EQ(frame.score, 11);
        EXPECT_FALSE(reader.next(frame)) << "cut " << cut;
        reader.rewind();
        EXPECT_TRUE(reader.next(frame)) << "cut " << cut;
    }
}

// Expects the constructor to throw std::runtime_error whose text names the path and
// contains `problem`.
void expect_refused(const std::string& path, const std::string& problem) {
    try {
        recording::Reader reader(path);
        ADD_FAILURE() << "no error for " << path;
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr(path));
        EXPECT_THAT(error.what(), ::testing::HasSubstr(problem));
    }
}

TEST_F(RecordingTest, ForeignFilesAreRefusedNamingThePath) {
    const std::string png_like = file("image.png");
    write_all(png_like, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'});
    expect_refused(png_like, "bad magic");

    const std::string tiny = file("tiny.biorec");
    write_all(tiny, {'B', 'I', 'O'});
    expect_refused(tiny, "bad magic");

    const std::string short_header = file("short.biorec");
    write_all(short_header, {'B', 'I', 'O', 'R', 'E', 'C', '0', '1', 0x00, 0x60});
    expect_refused(short_header, "truncated header");

    const std::string other_size = file("size.biorec");
    // 91000 = 0x00016378: a grey image size, not a raw frame.
    write_all(other_size, {'B', 'I', 'O', 'R', 'E', 'C', '0', '1', 0x78, 0x63, 0x01, 0x00, 0, 0, 0, 0});
    expect_refused(other_size, "unexpected frame size 91000");

    expect_refused(file("absent.biorec"), "No such file or directory");
}

TEST_F(RecordingTest, WriterNamesThePathItCannotCreate) {
    const std::string path = file("no-such-dir/out.biorec");
    try {
        recording::Writer writer(path);
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& error) {
        EXPECT_THAT(error.what(), ::testing::HasSubstr(path));
        EXPECT_THAT(error.what(), ::testing::HasSubstr("No such file or directory"));
    }
}

}  // namespace
