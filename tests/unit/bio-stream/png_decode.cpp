// Decoding of 8-bit grey PNG files with libpng.
#include "png_decode.h"

#include <png.h>

#include <cstdio>

#include <gtest/gtest.h>

namespace bio_stream_test {

GreyPicture decode_grey_png(const std::string& path) {
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        ADD_FAILURE() << "cannot open " << path;
        return {};
    }
    png_structp png = png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    GreyPicture picture;
    std::vector<png_bytep> rows;
    if (setjmp(png_jmpbuf(png))) {
        ADD_FAILURE() << "libpng cannot decode " << path;
        png_destroy_read_struct(&png, &info, nullptr);
        std::fclose(file);
        return {};
    }
    png_init_io(png, file);
    png_read_info(png, info);
    png_uint_32 width = 0;
    png_uint_32 height = 0;
    png_get_IHDR(png, info, &width, &height, &picture.bit_depth, &picture.colour_type, nullptr, nullptr,
                 nullptr);
    picture.width = width;
    picture.height = height;
    if (picture.bit_depth == 8 && picture.colour_type == PNG_COLOR_TYPE_GRAY) {
        picture.pixels.resize(static_cast<std::size_t>(width) * height);
        rows.resize(height);
        for (png_uint_32 y = 0; y < height; ++y) {
            rows[y] = picture.pixels.data() + static_cast<std::size_t>(y) * width;
        }
        png_read_image(png, rows.data());
        png_read_end(png, nullptr);
    } else {
        ADD_FAILURE() << path << " is not 8-bit grey (depth " << picture.bit_depth << ", colour type "
                      << picture.colour_type << ")";
    }
    png_destroy_read_struct(&png, &info, nullptr);
    std::fclose(file);
    return picture;
}

}  // namespace bio_stream_test
