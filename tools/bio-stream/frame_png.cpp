// PNG pictures of the debug stream's frames.
#include "frame_png.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <ios>
#include <system_error>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>

namespace bio_stream {

namespace {

constexpr std::ptrdiff_t raw_width = 640;
constexpr std::ptrdiff_t raw_height = 480;
constexpr std::ptrdiff_t raw_row_bytes = raw_width * 2;
constexpr std::ptrdiff_t grey_width = 260;

// A new file at `path`, its owner's only (the picture shows a fingerprint). Whatever is at the
// path (an older picture, a planted link) is removed first and the new file is created
// exclusively, so nothing there is ever written through. Throws std::ios_base::failure.
std::FILE* create_private(const std::string& path) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
        throw std::ios_base::failure("cannot replace " + path,
                                     std::error_code(errno, std::generic_category()));
    }
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    std::FILE* file = fd == -1 ? nullptr : ::fdopen(fd, "wb");
    if (file == nullptr) {
        const int error = errno;
        if (fd != -1) {
            ::close(fd);
        }
        throw std::ios_base::failure("cannot create " + path,
                                     std::error_code(error, std::generic_category()));
    }
    return file;
}

// The fastest compression: the pictures are written as frames arrive, and a frame of noise hardly
// compresses whatever the effort.
boost::gil::image_write_info<boost::gil::png_tag> fast_png() {
    boost::gil::image_write_info<boost::gil::png_tag> info;
    info._compression_level = 1;
    return info;
}

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
            // The writer takes the file over and closes it, also when it fails.
            std::FILE* file = create_private(path);
            boost::gil::write_view(file, boost::gil::subsampled_view(all_bytes, 2, 1), fast_png());
            return true;
        }
        case Kind::grey_260x350:
        case Kind::grey_260x320: {
            const std::ptrdiff_t height = static_cast<std::ptrdiff_t>(frame.bytes.size()) / grey_width;
            std::FILE* file = create_private(path);
            boost::gil::write_view(file, boost::gil::interleaved_view(grey_width, height, pixels, grey_width),
                                   fast_png());
            return true;
        }
    }
    return false;
}

}  // namespace bio_stream
