// PNG finger image: the file's chunks, header and pixels as libpng reads them, replacement
// on every write, and the failures with their texts.
#include <png.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <ios>
#include <iterator>
#include <ostream>
#include <string>
#include <system_error>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "bio_module.h"

namespace {

namespace fs = std::filesystem;

// One chunk of a PNG file as stored: its type and its data.
struct Chunk {
    std::string type;
    std::vector<unsigned char> data;
};

std::uint32_t big_endian_u32(const unsigned char* p) {
    return static_cast<std::uint32_t>(p[0]) << 24 | static_cast<std::uint32_t>(p[1]) << 16 |
           static_cast<std::uint32_t>(p[2]) << 8 | static_cast<std::uint32_t>(p[3]);
}

std::vector<unsigned char> read_bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// Walks the chunk list after the signature; fails the test on a malformed file.
std::vector<Chunk> chunks_of(const std::vector<unsigned char>& file) {
    static const unsigned char signature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    std::vector<Chunk> chunks;
    if (file.size() < 8 || !std::equal(signature, signature + 8, file.begin())) {
        ADD_FAILURE() << "no PNG signature";
        return chunks;
    }
    std::size_t at = 8;
    while (at + 12 <= file.size()) {
        const std::uint32_t length = big_endian_u32(&file[at]);
        if (at + 12 + length > file.size()) {
            ADD_FAILURE() << "chunk runs past the end of the file";
            break;
        }
        Chunk chunk;
        chunk.type.assign(reinterpret_cast<const char*>(&file[at + 4]), 4);
        chunk.data.assign(file.begin() + static_cast<std::ptrdiff_t>(at + 8),
                          file.begin() + static_cast<std::ptrdiff_t>(at + 8 + length));
        chunks.push_back(std::move(chunk));
        at += 12 + length;
    }
    EXPECT_EQ(at, file.size()) << "bytes after the last chunk";
    return chunks;
}

// The image as libpng decodes it, 3 bytes per pixel when the file is 8-bit RGB.
struct Decoded {
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    int bit_depth = 0;
    int colour_type = 0;
    int interlace = 0;
    std::vector<unsigned char> rgb;
};

Decoded decode(const std::string& path) {
    Decoded out;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return out;
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        ADD_FAILURE() << "libpng cannot decode " << path;
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return Decoded{};
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_get_IHDR(png, info, &out.width, &out.height, &out.bit_depth, &out.colour_type, &out.interlace,
                 nullptr, nullptr);
    const png_size_t row_bytes = png_get_rowbytes(png, info);
    out.rgb.resize(row_bytes * out.height);
    std::vector<png_bytep> rows(out.height);
    for (png_uint_32 y = 0; y < out.height; ++y) {
        rows[y] = out.rgb.data() + y * row_bytes;
    }
    png_read_image(png, rows.data());
    png_read_end(png, nullptr);
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return out;
}

// A grey image whose bytes differ from row to row and column to column.
std::vector<unsigned char> grey_pattern(int height, unsigned seed) {
    std::vector<unsigned char> grey(static_cast<std::size_t>(260 * height));
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < 260; ++x) {
            grey[static_cast<std::size_t>(y * 260 + x)] =
                static_cast<unsigned char>((x * 3 + y * 7 + seed) & 0xFF);
        }
    }
    return grey;
}

class FingerImageTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "bio-png-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        dir_ = pattern;
        finger_image_path = (dir_ / "finger.png").string();
    }
    void TearDown() override {
        finger_image_path.clear();
        fs::remove_all(dir_);
    }

    // Expects the file at finger_image_path to be an 8-bit RGB PNG of 260 x height with
    // R = G = B = the grey byte at every pixel.
    void expect_file_shows(const std::vector<unsigned char>& grey, int height) {
        const Decoded image = decode(finger_image_path);
        ASSERT_EQ(image.width, 260u);
        ASSERT_EQ(image.height, static_cast<png_uint_32>(height));
        ASSERT_EQ(image.rgb.size(), grey.size() * 3);
        std::size_t mismatches = 0;
        for (std::size_t i = 0; i < grey.size(); ++i) {
            for (std::size_t c = 0; c < 3; ++c) {
                if (image.rgb[i * 3 + c] != grey[i] && ++mismatches <= 5) {
                    ADD_FAILURE() << "pixel (" << i % 260 << ", " << i / 260 << ") sample " << c << " is "
                                  << int(image.rgb[i * 3 + c]) << ", grey " << int(grey[i]);
                }
            }
        }
        EXPECT_EQ(mismatches, 0u);
    }

    fs::path dir_;
};

class FingerImageSizeTest : public FingerImageTest, public ::testing::WithParamInterface<int> {};

TEST_P(FingerImageSizeTest, FileIsPlainRgbPngOfTheGreyImage) {
    const int height = GetParam();
    const std::vector<unsigned char> grey = grey_pattern(height, 1);
    write_finger_image(grey.data(), 260, height);

    const std::vector<Chunk> chunks = chunks_of(read_bytes(finger_image_path));
    ASSERT_GE(chunks.size(), 3u);
    // No ancillary chunk: the header, the data, the end.
    std::vector<std::string> types;
    for (const Chunk& chunk : chunks) {
        if (chunk.type != "IDAT" || types.empty() || types.back() != "IDAT") {
            types.push_back(chunk.type);
        }
    }
    EXPECT_THAT(types, ::testing::ElementsAre("IHDR", "IDAT", "IEND"));

    // IHDR: width, height, depth 8, colour type 2, compression 0, filter 0, interlace 0.
    const unsigned char h_hi = static_cast<unsigned char>(height >> 8);
    const unsigned char h_lo = static_cast<unsigned char>(height & 0xFF);
    EXPECT_THAT(chunks[0].data, ::testing::ElementsAre(0, 0, 0x01, 0x04, 0, 0, h_hi, h_lo, 8, 2, 0, 0, 0));
    // The writer's default deflate settings (window bits 9, level 3) show in the zlib
    // stream's first two bytes.
    ASSERT_GE(chunks[1].data.size(), 2u);
    EXPECT_EQ(chunks[1].data[0], 0x18);
    EXPECT_EQ(chunks[1].data[1], 0x57);

    const Decoded image = decode(finger_image_path);
    EXPECT_EQ(image.bit_depth, 8);
    EXPECT_EQ(image.colour_type, PNG_COLOR_TYPE_RGB);
    EXPECT_EQ(image.interlace, PNG_INTERLACE_NONE);
    expect_file_shows(grey, height);
}

// 350 rows: GC032A; 320 rows: GC0307 and GC0328.
INSTANTIATE_TEST_SUITE_P(SensorSizes, FingerImageSizeTest, ::testing::Values(350, 320));

TEST_F(FingerImageTest, SecondWriteReplacesTheFirst) {
    const std::vector<unsigned char> first = grey_pattern(350, 10);
    const std::vector<unsigned char> second = grey_pattern(320, 200);
    write_finger_image(first.data(), 260, 350);
    write_finger_image(second.data(), 260, 320);
    expect_file_shows(second, 320);
}

TEST_F(FingerImageTest, MissingDirectoryRaisesTheOpenFailure) {
    finger_image_path = (dir_ / "no-such-dir" / "finger.png").string();
    const std::vector<unsigned char> grey = grey_pattern(350, 0);
    try {
        write_finger_image(grey.data(), 260, 350);
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& failure) {
        // libstdc++ appends its category's text after the message.
        const std::string what = failure.what();
        EXPECT_THAT(what, ::testing::StartsWith("file_stream_device: failed to open file"));
        EXPECT_THAT(what, ::testing::Not(::testing::HasSubstr("for writing")));
        EXPECT_EQ(failure.code(), std::make_error_code(std::io_errc::stream));
    }
    EXPECT_FALSE(fs::exists(dir_ / "no-such-dir"));
}

struct EmptySize {
    int width;
    int height;
};

void PrintTo(const EmptySize& size, std::ostream* out) {
    *out << size.width << " x " << size.height;
}

class FingerImageEmptyTest : public FingerImageTest, public ::testing::WithParamInterface<EmptySize> {};

// A 0 x 0 image (an unknown sensor) is refused after the file was opened; images with one
// zero side are refused the same way rather than reaching libpng.
TEST_P(FingerImageEmptyTest, EmptyImageRaisesAndLeavesAZeroLengthFile) {
    const std::vector<unsigned char> earlier = grey_pattern(350, 5);
    write_finger_image(earlier.data(), 260, 350);
    ASSERT_GT(fs::file_size(finger_image_path), 0u);

    const std::vector<unsigned char> grey = grey_pattern(350, 6);
    try {
        write_finger_image(grey.data(), GetParam().width, GetParam().height);
        FAIL() << "no exception";
    } catch (const std::ios_base::failure& failure) {
        EXPECT_THAT(failure.what(), ::testing::StartsWith("png format cannot handle empty views."));
    }
    ASSERT_TRUE(fs::exists(finger_image_path));
    EXPECT_EQ(fs::file_size(finger_image_path), 0u);
}

INSTANTIATE_TEST_SUITE_P(Sides, FingerImageEmptyTest,
                         ::testing::Values(EmptySize{0, 0}, EmptySize{0, 350}, EmptySize{260, 0}),
                         [](const ::testing::TestParamInfo<EmptySize>& param_info) {
                             return std::to_string(param_info.param.width) + "x" +
                                    std::to_string(param_info.param.height);
                         });

}  // namespace
