// The quality figure of a fingerprint picture.
#include "quality.h"

#include <algorithm>
#include <cmath>

#include "finger_kernels.h"

namespace bio_quality {

namespace {

// Samples of one block; bins along the ridge normal reach sqrt(2) * 8 < 12 either side of its centre.
constexpr int bins = 24;

struct BlockQuality {
    bool foreground = false;
    double orientation = 0;
    double clarity = 0;
};

class Picture {
public:
    explicit Picture(const GreyView& view) : view_(view) {}

    int at(int x, int y) const {
        return view_.pixels[y * view_.row_bytes + static_cast<std::ptrdiff_t>(x) * view_.sample_bytes];
    }

    // Calls visit(x, y) for every sample of the block at (bx, by).
    template <typename Visit>
    static void each(int bx, int by, Visit visit) {
        for (int y = by; y < by + block_size; ++y) {
            for (int x = bx; x < bx + block_size; ++x) {
                visit(x, y);
            }
        }
    }

    // Sobel gradients; 0 on the picture's border, where a neighbour is missing.
    void gradient(int x, int y, double& gx, double& gy) const {
        if (x == 0 || y == 0 || x == view_.width - 1 || y == view_.height - 1) {
            gx = gy = 0;
            return;
        }
        gx = (at(x + 1, y - 1) + 2 * at(x + 1, y) + at(x + 1, y + 1)) -
             (at(x - 1, y - 1) + 2 * at(x - 1, y) + at(x - 1, y + 1));
        gy = (at(x - 1, y + 1) + 2 * at(x, y + 1) + at(x + 1, y + 1)) -
             (at(x - 1, y - 1) + 2 * at(x, y - 1) + at(x + 1, y - 1));
    }

    BlockQuality block(int bx, int by) const {
        BlockQuality quality;
        double sum = 0;
        double squares = 0;
        double a = 0;
        double b = 0;
        double c = 0;
        each(bx, by, [&](int x, int y) {
            const double v = at(x, y);
            sum += v;
            squares += v * v;
            double gx = 0;
            double gy = 0;
            gradient(x, y, gx, gy);
            a += gx * gx;
            b += gy * gy;
            c += gx * gy;
        });
        constexpr double n = block_size * block_size;
        const double mean = sum / n;
        quality.foreground = std::sqrt(std::max(0.0, squares / n - mean * mean)) >= foreground_deviation;
        if (!quality.foreground || a + b <= 0) {
            return quality;
        }
        quality.orientation = std::sqrt((a - b) * (a - b) + 4 * c * c) / (a + b);
        quality.clarity = clarity(bx, by, mean, 0.5 * std::atan2(2 * c, a - b));
        return quality;
    }

private:
    double clarity(int bx, int by, double mean, double normal) const {
        const double cx = bx + (block_size - 1) / 2.0;
        const double cy = by + (block_size - 1) / 2.0;
        const double cos_n = std::cos(normal);
        const double sin_n = std::sin(normal);
        const auto bin_of = [&](int x, int y) {
            const int bin = static_cast<int>(std::floor((x - cx) * cos_n + (y - cy) * sin_n + bins / 2));
            return std::clamp(bin, 0, bins - 1);
        };
        double bin_sum[bins] = {};
        int bin_count[bins] = {};
        each(bx, by, [&](int x, int y) {
            bin_sum[bin_of(x, y)] += at(x, y);
            ++bin_count[bin_of(x, y)];
        });
        int ridge = 0;
        int valley = 0;
        int ridge_bright = 0;
        int valley_dark = 0;
        each(bx, by, [&](int x, int y) {
            const int bin = bin_of(x, y);
            const bool dark = at(x, y) < mean;
            if (bin_sum[bin] / bin_count[bin] < mean) {
                ++ridge;
                ridge_bright += dark ? 0 : 1;
            } else {
                ++valley;
                valley_dark += dark ? 1 : 0;
            }
        });
        const double alpha = valley == 0 ? 1.0 : static_cast<double>(valley_dark) / valley;
        const double beta = ridge == 0 ? 1.0 : static_cast<double>(ridge_bright) / ridge;
        return std::max(0.0, 1.0 - (alpha + beta));
    }

    GreyView view_;
};

}  // namespace

Quality measure(const GreyView& image) {
    Quality quality;
    const int columns = image.width / block_size;
    const int rows = image.height / block_size;
    if (columns == 0 || rows == 0) {
        return quality;
    }
    const Picture picture(image);
    int foreground = 0;
    double products = 0;
    for (int row = 0; row < rows; ++row) {
        for (int column = 0; column < columns; ++column) {
            const BlockQuality block = picture.block(column * block_size, row * block_size);
            if (block.foreground) {
                ++foreground;
                quality.orientation += block.orientation;
                quality.clarity += block.clarity;
                products += block.orientation * block.clarity;
            }
        }
    }
    if (foreground == 0) {
        return quality;
    }
    quality.foreground = static_cast<double>(foreground) / (columns * rows);
    quality.orientation /= foreground;
    quality.clarity /= foreground;
    quality.figure = static_cast<int>(std::lround(100 * quality.foreground * products / foreground));
    return quality;
}

GreyView scored_window(const unsigned char* frame, int sample_step) {
    const std::ptrdiff_t row = static_cast<std::ptrdiff_t>(kernel_row_bytes / 2) * sample_step;
    return {frame + row * variance_window_y + sample_step * variance_window_x, variance_window_width,
            variance_window_height, row, sample_step};
}

}  // namespace bio_quality
