// A finger turned on the glass: its canvas resampled once per turn, with the pad's pressure
// profile beside the ridges, so that composing a frame is a matter of integer offsets.
#include "world.h"

#include <algorithm>
#include <cmath>

#include "detmath.h"

namespace vsensor::world {

namespace {

constexpr double pad_one = 4096.0;

// The pressure profile of an elliptic pad at (u, v) in pad radii: 1 - u^2 - v^2 (a paraboloid,
// so that the contact area grows in proportion to the load), in 1/4096, bounded below.
std::int16_t elliptic_pad(double u, double v) {
    return static_cast<std::int16_t>(std::max(-30000.0, std::floor((1.0 - u * u - v * v) * pad_one + 0.5)));
}

}  // namespace

std::shared_ptr<const Placed> place(const Finger& finger, int turn_degrees) {
    auto placed = std::make_shared<Placed>();
    placed->image = finger.image;
    const double angle = finger.image ? 0.0 : turn_degrees * pi / 180.0;
    const double c = det_cos(angle);
    const double s = det_sin(angle);
    const double fx_centre = finger.width / 2.0;
    const double fy_centre = finger.height / 2.0;
    placed->width = static_cast<int>(std::fabs(c) * finger.width + std::fabs(s) * finger.height) + 2;
    placed->height = static_cast<int>(std::fabs(s) * finger.width + std::fabs(c) * finger.height) + 2;
    placed->centre_x = placed->width / 2;
    placed->centre_y = placed->height / 2;
    placed->cells.assign(static_cast<std::size_t>(placed->width) * placed->height, Cell{128, 0, 0, 0, -30000});
    for (int py = 0; py < placed->height; ++py) {
        for (int px = 0; px < placed->width; ++px) {
            // Back into the finger's own coordinates (a clockwise turn on the frame, y down).
            const double dx = px - placed->centre_x;
            const double dy = py - placed->centre_y;
            const double fx = c * dx + s * dy + fx_centre;
            const double fy = -s * dx + c * dy + fy_centre;
            const int x0 = static_cast<int>(std::floor(fx));
            const int y0 = static_cast<int>(std::floor(fy));
            if (x0 < 0 || y0 < 0 || x0 + 1 >= finger.width || y0 + 1 >= finger.height) {
                continue;
            }
            const std::size_t i = static_cast<std::size_t>(y0) * finger.width + x0;
            // Ridge heights bilinear in 1/256, the skin's masks nearest.
            const int tx = static_cast<int>((fx - x0) * 256.0);
            const int ty = static_cast<int>((fy - y0) * 256.0);
            const std::uint8_t* r = finger.ridge.data() + i;
            const int top = r[0] * (256 - tx) + r[1] * tx;
            const int bottom = r[finger.width] * (256 - tx) + r[finger.width + 1] * tx;
            Cell& cell = placed->cells[static_cast<std::size_t>(py) * placed->width + px];
            cell.ridge = static_cast<std::uint8_t>((top * (256 - ty) + bottom * ty + 32768) >> 16);
            const std::size_t nearest = static_cast<std::size_t>(fy + 0.5) * finger.width + static_cast<std::size_t>(fx + 0.5);
            cell.dry = finger.dry.empty() ? 0 : finger.dry[nearest];
            cell.wet = finger.wet.empty() ? 0 : finger.wet[nearest];
            cell.pad = finger.image ? finger.pad[nearest]
                                    : elliptic_pad((fx - fx_centre) / finger.pad_a, (fy - fy_centre) / finger.pad_b);
            placed->pad_area += cell.pad > 0 ? 1u : 0u;
        }
    }
    return placed;
}

}  // namespace vsensor::world
