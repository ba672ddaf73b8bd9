// PNG decoding with Boost.GIL's PNG reader (see bio_test/png.h).
#include "bio_test/png.h"

#include <stdexcept>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>

namespace bio_test {

namespace {

namespace gil = boost::gil;

// The samples of the file, row by row, decoded into an image of pixel type `Image`.
template <typename Image>
std::vector<unsigned char> samples_of(const std::string& path) {
    Image image;
    gil::read_image(path, image, gil::png_tag());
    const unsigned char* first = gil::interleaved_view_get_raw_data(gil::const_view(image));
    return {first, first + image.width() * image.height() * gil::num_channels<Image>::value};
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
    if (png.bit_depth != 8 ||
        (png.colour_type != PNG_COLOR_TYPE_GRAY && png.colour_type != PNG_COLOR_TYPE_RGB)) {
        throw std::runtime_error(path + ": not 8-bit grey or RGB");
    }
    png.channels = png.colour_type == PNG_COLOR_TYPE_GRAY ? 1 : 3;
    png.samples =
        png.channels == 1 ? samples_of<gil::gray8_image_t>(path) : samples_of<gil::rgb8_image_t>(path);
    return png;
}

}  // namespace bio_test
