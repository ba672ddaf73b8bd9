// PNG files as a reader sees them, decoded with Boost.GIL's PNG reader: header and samples.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace bio_test {

struct Png {
    unsigned width = 0;
    unsigned height = 0;
    int bit_depth = 0;
    int colour_type = -1;  // 0 grey, 2 RGB, 6 RGBA
    int interlace = -1;
    int channels = 0;                    // samples per pixel: 1, 3 or 4
    std::vector<unsigned char> samples;  // row-major, `channels` interleaved samples per pixel

    // Sample `channel` of pixel (x, y).
    unsigned char at(unsigned x, unsigned y, int channel = 0) const {
        return samples[(std::size_t{y} * width + x) * static_cast<std::size_t>(channels) +
                       static_cast<std::size_t>(channel)];
    }
};

// Decodes the 8-bit grey, RGB or RGBA file at `path`; throws std::runtime_error (or the reader's
// std::ios_base::failure) when it is missing, malformed or of another kind.
Png decode_png(const std::string& path);

}  // namespace bio_test
