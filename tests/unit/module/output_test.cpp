// Image output: the PNG finger image decoded and compared with the grey image, its failures, and the UDP
// debug stream's datagrams, header bytes and printed errors, received on loopback.
#include <ios>
#include <ostream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "bio_module.h"
#include "bio_test/files.h"
#include "bio_test/png.h"
#include "module_support.h"

namespace {

using module_test::operator<<;

using namespace std::chrono_literals;

// A grey image whose bytes differ from row to row and column to column.
std::vector<unsigned char> grey_pattern(int height, int seed) {
    std::vector<unsigned char> grey(static_cast<std::size_t>(260 * height));
    for (std::size_t i = 0; i < grey.size(); ++i) {
        grey[i] = static_cast<unsigned char>(i % 260 * 3 + i / 260 * 7 + static_cast<std::size_t>(seed));
    }
    return grey;
}

// An 8-bit RGB file of the image's size, every pixel's three samples its grey value; a second write
// replaces the first.
TEST(FingerImage, RgbPngOfTheGreyImageReplacedOnEveryWrite) {
    bio_test::TempDir dir;
    finger_image_path = dir.file("finger.png");
    for (const int height : {350, 320}) {
        SCOPED_TRACE(height);
        write_finger_image(grey_pattern(height, 1).data(), 260, height);
        const std::vector<unsigned char> grey = grey_pattern(height, 2);
        write_finger_image(grey.data(), 260, height);
        const bio_test::Png png = bio_test::decode_png(finger_image_path);
        EXPECT_EQ((std::vector<unsigned>{png.width, png.height, unsigned(png.bit_depth),
                                         unsigned(png.colour_type), unsigned(png.interlace)}),
                  (std::vector<unsigned>{260, unsigned(height), 8, 2, 0}));
        std::vector<unsigned char> rgb;
        for (const unsigned char v : grey) {
            rgb.insert(rgb.end(), 3, v);
        }
        EXPECT_TRUE(png.samples == rgb);
    }
}

struct PngFailureRow {
    const char* name;
    const char* file;  // in the test's directory
    int width;
    int height;
    const char* text;
    bool empty_file_left;
};

class FingerImageFailure : public testing::TestWithParam<PngFailureRow> {};

TEST_P(FingerImageFailure, RaisesWithItsText) {
    const PngFailureRow& row = GetParam();
    bio_test::TempDir dir;
    finger_image_path = dir.file(row.file);
    const std::vector<unsigned char> grey = grey_pattern(350, 0);
    try {
        write_finger_image(grey.data(), row.width, row.height);
        ADD_FAILURE() << "no exception";
    } catch (const std::ios_base::failure& e) {
        EXPECT_EQ(std::string(e.what()).rfind(row.text, 0), 0u) << e.what();
    }
    if (row.empty_file_left) {
        EXPECT_EQ(bio_test::read_file(finger_image_path), "");
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Output, FingerImageFailure, testing::Values(
    PngFailureRow{"missing_directory", "missing/finger.png", 260, 350, "file_stream_device: failed to open file", false},
    PngFailureRow{"empty_image", "finger.png", 0, 0, "png format cannot handle empty views.", true},
    PngFailureRow{"no_columns", "finger.png", 0, 350, "png format cannot handle empty views.", true},
    PngFailureRow{"no_rows", "finger.png", 260, 0, "png format cannot handle empty views.", true}), module_test::row_name);
// clang-format on

struct StreamRow {
    const char* name;
    int header;
    int length;
    std::vector<std::size_t> datagrams;  // sizes, the 4-byte header first
    std::vector<unsigned char> header_bytes;
};

class DebugStream : public testing::TestWithParam<StreamRow> {};

TEST_P(DebugStream, HeaderThenConsecutiveSlices) {
    const StreamRow& row = GetParam();
    module_test::Receiver receiver;
    std::vector<unsigned char> payload(614400);
    for (std::size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<unsigned char>(i * 7 + i / 251);
    }
    send_fingerprint("127.0.0.1", receiver.port(), row.header, payload.data(), row.length);
    send_fingerprint("127.0.0.1", receiver.port(), 0, payload.data(), 3);  // marks the end

    std::vector<std::vector<unsigned char>> datagrams;
    for (auto d = receiver.next(); d && d->size() != 3; d = receiver.next()) {
        datagrams.push_back(*d);
    }
    ASSERT_GE(datagrams.size(), 2u);
    datagrams.pop_back();  // the end mark's header
    EXPECT_EQ(datagrams[0], row.header_bytes);
    std::vector<std::size_t> sizes;
    std::vector<unsigned char> received;
    for (const auto& d : datagrams) {
        sizes.push_back(d.size());
        received.insert(received.end(), d.begin() + (sizes.size() == 1 ? 4 : 0), d.end());
    }
    EXPECT_EQ(sizes, row.datagrams);
    EXPECT_TRUE(received ==
                std::vector<unsigned char>(payload.begin(), payload.begin() + std::max(row.length, 0)));
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(Output, DebugStream, testing::Values(
    StreamRow{"nothing", 300, 0, {4}, {0x2C, 0x01, 0x00, 0x00}},
    StreamRow{"negative_length", -1, -5, {4}, {0xFF, 0xFF, 0xFF, 0xFF}},
    StreamRow{"one_slice", 0x01020304, 60000, {4, 60000}, {0x04, 0x03, 0x02, 0x01}},
    StreamRow{"one_byte_more", 8100, 60001, {4, 60000, 1}, {0xA4, 0x1F, 0x00, 0x00}},
    StreamRow{"grey_260x350", 0, 91000, {4, 60000, 31000}, {0, 0, 0, 0}},
    StreamRow{"raw_frame", 0, 614400, {4, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 60000, 14400},
              {0, 0, 0, 0}}), module_test::row_name);
// clang-format on

// The port's low 16 bits reach the wire; the short address form is accepted; failures print a line.
TEST(DebugStreamAddress, PortAddressFormsAndPrintedErrors) {
    module_test::Receiver receiver;
    std::vector<unsigned char> payload(10, 1);
    testing::internal::CaptureStdout();
    send_fingerprint("127.1", receiver.port() + 65536, 300, payload.data(), 10);
    send_fingerprint("localhost", receiver.port(), 300, payload.data(), 10);
    send_fingerprint("127.0.0.1", 0, 300, payload.data(), 10);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "inet_aton() failed\nErro enviando\n");
    const auto header = receiver.next();
    ASSERT_TRUE(header);
    EXPECT_EQ(header->size(), 4u);
    ASSERT_TRUE(receiver.next());
    EXPECT_FALSE(receiver.next(100ms)) << "only the first frame goes out";
}

}  // namespace
