// PNG pictures of the debug stream's frames.
#include "frame_png.h"

#include <cstddef>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>

namespace bio_stream {

namespace {

constexpr std::ptrdiff_t raw_width = 640;
constexpr std::ptrdiff_t raw_height = 480;
constexpr std::ptrdiff_t raw_row_bytes = raw_width * 2;
constexpr std::ptrdiff_t grey_width = 260;

}  // namespace

bool write_frame_png(const std::string& path, const Frame& frame) {
    const auto* const pixels = reinterpret_cast<const boost::gil::gray8_pixel_t*>(frame.bytes.data());
    switch (frame.kind) {
        case Kind::header:
            return false;
        case Kind::raw: {
            // Every byte of the frame as a pixel of a 1280-wide picture; every second column
            // of it is the sampled byte of each pixel.
            const auto all_bytes =
                boost::gil::interleaved_view(raw_row_bytes, raw_height, pixels, raw_row_bytes);
            boost::gil::write_view(path, boost::gil::subsampled_view(all_bytes, 2, 1), boost::gil::png_tag());
            return true;
        }
        case Kind::grey_260x350:
        case Kind::grey_260x320: {
            const std::ptrdiff_t height = static_cast<std::ptrdiff_t>(frame.bytes.size()) / grey_width;
            boost::gil::write_view(path, boost::gil::interleaved_view(grey_width, height, pixels, grey_width),
                                   boost::gil::png_tag());
            return true;
        }
    }
    return false;
}

}  // namespace bio_stream
