// bio-stream's pictures: a raw frame shows its sampled bytes, a grey frame itself.
#include "frame_png.h"

#include <cstdlib>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "png_decode.h"

namespace {

namespace fs = std::filesystem;

class FramePngTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "bio-stream-png-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    fs::path dir_;
};

TEST_F(FramePngTest, RawFrameShowsEverySecondByte) {
    bio_stream::Frame frame;
    frame.kind = bio_stream::Kind::raw;
    frame.bytes.resize(614400);
    for (std::size_t i = 0; i < frame.bytes.size(); ++i) {
        // Sampled (even) bytes carry a pattern; the others are 0xEE and must not show.
        frame.bytes[i] = i % 2 == 0 ? static_cast<unsigned char>(i / 2 % 256 ^ i / 1280) : 0xEE;
    }
    const std::string path = (dir_ / "raw.png").string();
    ASSERT_TRUE(bio_stream::write_frame_png(path, frame));
    const bio_stream_test::GreyPicture picture = bio_stream_test::decode_grey_png(path);
    ASSERT_EQ(picture.width, 640u);
    ASSERT_EQ(picture.height, 480u);
    // Hand-picked pixels: (x, y) shows byte 2 * (x + 640 * y).
    EXPECT_EQ(picture.pixels[0], frame.bytes[0]);
    EXPECT_EQ(picture.pixels[1], frame.bytes[2]);
    EXPECT_EQ(picture.pixels[639], frame.bytes[1278]);
    EXPECT_EQ(picture.pixels[640], frame.bytes[1280]);
    EXPECT_EQ(picture.pixels[640 * 479 + 639], frame.bytes[614398]);
    std::size_t mismatches = 0;
    for (std::size_t y = 0; y < 480; ++y) {
        for (std::size_t x = 0; x < 640; ++x) {
            mismatches += picture.pixels[x + 640 * y] != frame.bytes[2 * (x + 640 * y)];
        }
    }
    EXPECT_EQ(mismatches, 0u);
}

TEST_F(FramePngTest, GreyFramesAre260Wide) {
    for (const auto& [kind, height] :
         {std::pair{bio_stream::Kind::grey_260x350, 350u}, std::pair{bio_stream::Kind::grey_260x320, 320u}}) {
        bio_stream::Frame frame;
        frame.kind = kind;
        frame.bytes.resize(260 * height);
        for (std::size_t i = 0; i < frame.bytes.size(); ++i) {
            frame.bytes[i] = static_cast<unsigned char>(i * 31 % 256);
        }
        const std::string path = (dir_ / ("grey-" + std::to_string(height) + ".png")).string();
        ASSERT_TRUE(bio_stream::write_frame_png(path, frame));
        const bio_stream_test::GreyPicture picture = bio_stream_test::decode_grey_png(path);
        EXPECT_EQ(picture.width, 260u);
        EXPECT_EQ(picture.height, height);
        EXPECT_EQ(picture.pixels, frame.bytes);
    }
}

TEST_F(FramePngTest, HeaderOnlyFrameHasNoPicture) {
    bio_stream::Frame frame;
    const std::string path = (dir_ / "header.png").string();
    EXPECT_FALSE(bio_stream::write_frame_png(path, frame));
    EXPECT_FALSE(fs::exists(path));
}

}  // namespace
