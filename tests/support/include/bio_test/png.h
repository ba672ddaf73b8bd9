// PNG files as a reader sees them, decoded with Boost.GIL's PNG reader: header and samples.
#pragma once

#include <string>
#include <vector>

namespace bio_test {

struct Png {
    unsigned width = 0;
    unsigned height = 0;
    int bit_depth = 0;
    int colour_type = -1;  // 0 grey, 2 RGB
    int interlace = -1;
    int channels = 0;                    // samples per pixel: 1 or 3
    std::vector<unsigned char> samples;  // row-major, `channels` interleaved samples per pixel
};

// Decodes the 8-bit grey or RGB file at `path`; throws std::runtime_error (or the reader's
// std::ios_base::failure) when it is missing, malformed or of another kind.
Png decode_png(const std::string& path);

}  // namespace bio_test
