// Decoding of 8-bit grey PNG files with libpng, for checking bio-stream's pictures.
#pragma once

#include <string>
#include <vector>

namespace bio_stream_test {

struct GreyPicture {
    unsigned width = 0;
    unsigned height = 0;
    int bit_depth = 0;
    int colour_type = -1;
    std::vector<unsigned char> pixels;  // row-major, one byte per pixel
};

// The picture in `path`; records a test failure and returns an empty picture when libpng
// cannot read it or it is not 8-bit grey.
GreyPicture decode_grey_png(const std::string& path);

}  // namespace bio_stream_test
