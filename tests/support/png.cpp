// PNG decoding with Boost.GIL's PNG reader (see bio_test/png.h).
#include "bio_test/png.h"

#include <stdexcept>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>

namespace bio_test {

namespace {

namespace gil = boost::gil;

template <typename Image>
void read_samples(const std::string& path, int channels, Png& png) {
    Image image;
    gil::read_image(path, image, gil::png_tag());
    png.channels = channels;
    for (std::ptrdiff_t y = 0; y < image.height(); ++y) {
        for (auto it = gil::const_view(image).row_begin(y); it != gil::const_view(image).row_end(y); ++it) {
            for (int c = 0; c < channels; ++c) {
                png.samples.push_back(static_cast<unsigned char>((*it)[c]));
            }
        }
    }
}

}  // namespace

Png decode_png(const std::string& path) {
    Png png;
    const auto info = gil::read_image_info(path, gil::png_tag())._info;
    png.width = info._width;
    png.height = info._height;
    png.bit_depth = info._bit_depth;
    png.colour_type = info._color_type;
    png.interlace = info._interlace_method;
    if (png.bit_depth == 8 && png.colour_type == PNG_COLOR_TYPE_GRAY) {
        read_samples<gil::gray8_image_t>(path, 1, png);
    } else if (png.bit_depth == 8 && png.colour_type == PNG_COLOR_TYPE_RGB) {
        read_samples<gil::rgb8_image_t>(path, 3, png);
    } else {
        throw std::runtime_error(path + ": not 8-bit grey or RGB");
    }
    return png;
}

}  // namespace bio_test
