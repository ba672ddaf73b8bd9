// Random numbers of the virtual sensor: the same seed gives the same frames on every target.
#pragma once

#include <cmath>
#include <cstdint>
#include <algorithm>
#include <vector>

namespace vsensor::world {

// SplitMix64: a small, well-mixed generator.
struct SplitMix {
    std::uint64_t state;
    std::uint64_t next() {
        std::uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }
    // Uniform in [low, high).
    double between(double low, double high) { return low + (high - low) * unit(); }
};

// A well-mixed hash of a seed and two coordinates.
inline std::uint64_t hash(std::uint64_t seed, std::int64_t x, std::int64_t y) {
    SplitMix mix{seed ^ (static_cast<std::uint64_t>(x) * 0x9E3779B97F4A7C15ull) ^
                 (static_cast<std::uint64_t>(y) * 0xC2B2AE3D27D4EB4Full)};
    return mix.next();
}

// Smooth value noise in [-1, 1] with features of about `cell` pixels over [0, width) x [0, height):
// random values on a lattice, drawn once, blended with a smoothstep.
class ValueNoise {
public:
    ValueNoise(std::uint64_t seed, double cell, int width, int height)
        : cell_(cell), columns_(static_cast<int>(width / cell) + 2), rows_(static_cast<int>(height / cell) + 2) {
        lattice_.resize(static_cast<std::size_t>(columns_) * rows_);
        for (int y = 0; y < rows_; ++y) {
            for (int x = 0; x < columns_; ++x) {
                lattice_[static_cast<std::size_t>(y) * columns_ + x] =
                    static_cast<double>(hash(seed, x, y) >> 11) * (2.0 / 9007199254740992.0) - 1.0;
            }
        }
    }

    // The noise at (x, y), 0 <= x < width, 0 <= y < height.
    double at(double x, double y) const {
        const double gx = x / cell_;
        const double gy = y / cell_;
        const int x0 = std::min(static_cast<int>(gx), columns_ - 2);
        const int y0 = std::min(static_cast<int>(gy), rows_ - 2);
        const double tx = gx - x0;
        const double ty = gy - y0;
        const double sx = tx * tx * (3.0 - 2.0 * tx);
        const double sy = ty * ty * (3.0 - 2.0 * ty);
        const double* p = lattice_.data() + static_cast<std::size_t>(y0) * columns_ + x0;
        const double top = p[0] + (p[1] - p[0]) * sx;
        const double bottom = p[columns_] + (p[columns_ + 1] - p[columns_]) * sx;
        return top + (bottom - top) * sy;
    }

private:
    double cell_;
    int columns_;
    int rows_;
    std::vector<double> lattice_;
};

}  // namespace vsensor::world
