// A real finger image as the finger: read from a PNG or PGM file, taken to be at the corrected
// image's scale (500 ppi) and centred on it, and placed on the glass through the inverse of the
// sensor model's correction, so that the module's corrected image gives it back upright.
#include "world.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include <boost/gil.hpp>
#include <boost/gil/extension/io/png.hpp>
#include <boost/gil/extension/io/pnm.hpp>

#include "correction_geometry.h"

namespace vsensor::world {

namespace {

namespace gil = boost::gil;

struct Grey {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> samples;
};

// Decodes the file by its signature; throws std::invalid_argument naming the path and the problem.
Grey read_grey(const std::string& path) {
    char signature[8] = {};
    std::FILE* file = std::fopen(path.c_str(), "rb");
    const bool read = file != nullptr && std::fread(signature, 1, sizeof signature, file) == sizeof signature;
    if (file != nullptr) {
        std::fclose(file);
    }
    if (!read) {
        throw std::invalid_argument("cannot read the image " + path);
    }
    gil::gray8_image_t image;
    try {
        if (signature[0] == '\x89' && signature[1] == 'P' && signature[2] == 'N' && signature[3] == 'G') {
            gil::read_and_convert_image(path, image, gil::png_tag());
        } else if (signature[0] == 'P' && (signature[1] == '2' || signature[1] == '5')) {
            gil::read_and_convert_image(path, image, gil::pnm_tag());
        } else {
            throw std::invalid_argument("not a PNG or PGM file");
        }
    } catch (const std::exception& error) {
        throw std::invalid_argument("cannot decode the image " + path + ": " + error.what());
    }
    Grey grey{static_cast<int>(image.width()), static_cast<int>(image.height()), {}};
    if (grey.width < 2 || grey.height < 2 || grey.width > 4096 || grey.height > 4096) {
        throw std::invalid_argument("the image " + path + " is not 2 to 4096 pixels wide and high");
    }
    const auto view = gil::const_view(image);
    grey.samples.reserve(static_cast<std::size_t>(grey.width) * grey.height);
    for (int y = 0; y < grey.height; ++y) {
        for (int x = 0; x < grey.width; ++x) {
            grey.samples.push_back(gil::at_c<0>(view(x, y)));
        }
    }
    return grey;
}

// The corrected image's position (row, column) whose sample the frame's pixel (x, y) is, by
// Newton's method on the model's geometry from a nearby answer; false when it does not converge.
bool invert(const std::string& model, double x, double y, double& row, double& column) {
    for (int round = 0; round < 20; ++round) {
        double fx = 0.0;
        double fy = 0.0;
        double rx = 0.0;
        double ry = 0.0;
        double cx = 0.0;
        double cy = 0.0;
        correction_source(model, row, column, fx, fy);
        correction_source(model, row + 1.0, column, rx, ry);
        correction_source(model, row, column + 1.0, cx, cy);
        const double a = rx - fx;  // d x / d row
        const double b = cx - fx;  // d x / d column
        const double c = ry - fy;
        const double d = cy - fy;
        const double determinant = a * d - b * c;
        if (std::fabs(determinant) < 1e-12) {
            return false;
        }
        const double ex = x - fx;
        const double ey = y - fy;
        const double step_row = (d * ex - b * ey) / determinant;
        const double step_column = (a * ey - c * ex) / determinant;
        row += step_row;
        column += step_column;
        if (std::fabs(step_row) + std::fabs(step_column) < 1e-7) {
            return true;
        }
    }
    return false;
}

}  // namespace

void check_image(const std::string& path) {
    read_grey(path);
}

std::shared_ptr<const Finger> image_finger(const std::string& path, const std::string& model) {
    int out_width = 0;
    int out_height = 0;
    if (!correction_size(model, out_width, out_height)) {
        throw std::invalid_argument("unknown sensor model '" + model + "' (GC0307, GC0328 or GC032A)");
    }
    const Grey grey = read_grey(path);
    auto finger = std::make_shared<Finger>();
    finger->image = true;
    finger->width = frame_width;
    finger->height = frame_height;
    finger->pad_a = 180.0;
    finger->pad_b = 220.0;
    finger->ridge.assign(frame_pixels, 0);
    finger->pad.assign(frame_pixels, -30000);
    // The image's pixel (ix, iy) is the corrected image's (column, row) less these.
    const double left = (out_width - grey.width) / 2.0;
    const double top = (out_height - grey.height) / 2.0;
    const double half_w = (grey.width - 1) / 2.0;
    const double half_h = (grey.height - 1) / 2.0;
    double row_start = out_height / 2.0;
    double column_start = out_width / 2.0;
    for (int y = 0; y < frame_height; ++y) {
        double row = row_start;
        double column = column_start;
        for (int x = 0; x < frame_width; ++x) {
            if (!invert(model, x, y, row, column)) {
                continue;
            }
            if (x == 0) {
                row_start = row;
                column_start = column;
            }
            const double ix = column - left;
            const double iy = row - top;
            const double u = (ix - half_w) / half_w;
            const double v = (iy - half_h) / half_h;
            const std::size_t i = static_cast<std::size_t>(y) * frame_width + x;
            finger->pad[i] = static_cast<std::int16_t>(std::max(-30000.0, std::floor(4096.0 * (1.0 - std::max(u * u, v * v)) + 0.5)));
            if (ix < 0.0 || iy < 0.0 || ix > grey.width - 1 || iy > grey.height - 1) {
                continue;
            }
            const int x0 = std::min(static_cast<int>(ix), grey.width - 2);
            const int y0 = std::min(static_cast<int>(iy), grey.height - 2);
            const double tx = ix - x0;
            const double ty = iy - y0;
            const std::uint8_t* p = grey.samples.data() + static_cast<std::size_t>(y0) * grey.width + x0;
            const double upper = p[0] + (p[1] - p[0]) * tx;
            const double lower = p[grey.width] + (p[grey.width + 1] - p[grey.width]) * tx;
            finger->ridge[i] = static_cast<std::uint8_t>(std::floor(upper + (lower - upper) * ty + 0.5));
        }
    }
    return finger;
}

}  // namespace vsensor::world
