// The finger generator: an orientation field from the singular points of the finger's class, a
// ridge-period map, and ridges grown from noise by iterated oriented band-pass (Gabor) filtering,
// so that ridge endings and bifurcations form where the field forces them (around the cores and
// deltas, where the period changes) and where the noise left two ridge systems to meet.
#include "world.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>

#include "detmath.h"
#include "random.h"

namespace vsensor::world {

namespace {

// The filter banks: ridge directions in steps of 180/orientations degrees, periods in `periods`
// steps from the shortest, kernels of side 2 * radius + 1 in 1/2^14. Ridges are grown at half
// the resolution first (four times fewer pixels, kernels four times smaller), then refined at
// full resolution.
constexpr int orientations = 24;
constexpr int periods = 12;
constexpr double shortest_period = 6.5;
constexpr double period_step = 0.5;
constexpr int full_radius = 6;
constexpr int half_radius = 4;
constexpr int max_radius = full_radius;
constexpr int max_taps = (2 * max_radius + 1) * (2 * max_radius + 1);
constexpr double kernel_one = 16384.0;
// The field is grown in 1/1024: a ridge crest at +1024, a valley floor at -1024.
constexpr int field_one = 1024;
constexpr int growth_rounds = 16;
constexpr int refine_rounds = 2;
// The pad's canvas reaches this far beyond the pad, in pad radii, so that the finger's silhouette
// around the contact can be composed too.
constexpr double canvas_reach = 1.3;
// Ridges are grown inside this radius (in pad radii); outside it the finger never touches.
constexpr double grown_reach = 1.12;

struct Bank {
    int radius;
    int side;
    std::vector<std::array<std::int16_t, max_taps>> kernels;  // [orientation * periods + period]
};

// Oriented band-pass kernels at `scale` (1: full resolution, 0.5: half): a Gaussian envelope
// times a cosine across the ridges, made zero-mean (a flat field does not grow) and scaled so that
// a ridge pattern of the kernel's own direction and period passes at its amplitude.
Bank make_bank(double scale, int radius) {
    Bank bank{radius, 2 * radius + 1, std::vector<std::array<std::int16_t, max_taps>>(orientations * periods)};
    const int taps = bank.side * bank.side;
    const double sigma = 3.2 * scale;
    for (int o = 0; o < orientations; ++o) {
        const double along = pi * o / orientations;
        const double nx = -det_sin(along);  // the direction across the ridges
        const double ny = det_cos(along);
        for (int p = 0; p < periods; ++p) {
            const double period = (shortest_period + period_step * p) * scale;
            double envelope[max_taps];
            double wave[max_taps];
            double envelope_sum = 0.0;
            double mean = 0.0;
            for (int k = 0; k < taps; ++k) {
                const double dx = k % bank.side - radius;
                const double dy = k / bank.side - radius;
                envelope[k] = det_exp(-(dx * dx + dy * dy) / (2.0 * sigma * sigma));
                wave[k] = det_cos(2.0 * pi * (dx * nx + dy * ny) / period);
                envelope_sum += envelope[k];
                mean += envelope[k] * wave[k];
            }
            mean /= envelope_sum;
            double gain = 0.0;
            for (int k = 0; k < taps; ++k) {
                gain += envelope[k] * (wave[k] - mean) * wave[k];
            }
            auto& kernel = bank.kernels[o * periods + p];
            for (int k = 0; k < taps; ++k) {
                kernel[k] = static_cast<std::int16_t>(std::lround(envelope[k] * (wave[k] - mean) / gain * kernel_one));
            }
        }
    }
    return bank;
}

const Bank& full_bank() {
    static const Bank bank = make_bank(1.0, full_radius);
    return bank;
}

const Bank& half_bank() {
    static const Bank bank = make_bank(0.5, half_radius);
    return bank;
}

struct Point {
    double x;
    double y;
};

// Where the singular points of a class lie (relative to the pad's centre, in pad radii) and the
// arch's shape; jittered per identity.
struct Layout {
    std::vector<Point> cores;
    std::vector<Point> deltas;
    double arch_height = 0.0;  // arch: how far the ridges rise over the middle, px
    double arch_width = 0.0;
};

Layout layout_of(FingerClass finger_class, SplitMix& mix) {
    Layout layout;
    const auto jitter = [&](double x, double y) { return Point{x + mix.between(-0.06, 0.06), y + mix.between(-0.06, 0.06)}; };
    switch (finger_class) {
        case FingerClass::arch:
            layout.arch_height = mix.between(50.0, 80.0);
            layout.arch_width = mix.between(90.0, 130.0);
            break;
        case FingerClass::tented_arch:
            layout.cores = {jitter(0.0, -0.05)};
            layout.deltas = {jitter(0.0, 0.32)};
            break;
        case FingerClass::left_loop:
            layout.cores = {jitter(-0.1, -0.2)};
            layout.deltas = {jitter(0.38, 0.6)};
            break;
        case FingerClass::right_loop:
            layout.cores = {jitter(0.1, -0.2)};
            layout.deltas = {jitter(-0.38, 0.6)};
            break;
        case FingerClass::whorl:
            layout.cores = {jitter(-0.06, -0.16), jitter(0.06, 0.02)};
            layout.deltas = {jitter(-0.6, 0.45), jitter(0.6, 0.45)};
            break;
    }
    return layout;
}

// Twice the ridge direction at (x, y), px from the pad's centre: the zero-pole model (each core
// turns the ridges by half a turn around it, each delta by half a turn the other way), or for an
// arch, ridges that rise over the middle more towards the base of the finger.
double doubled_direction(const Layout& layout, double a, double b, double x, double y) {
    if (layout.cores.empty()) {
        const double u = x / layout.arch_width;
        const double lift = layout.arch_height * (0.35 + 0.65 * std::clamp((y + b) / (2.0 * b), 0.0, 1.0));
        const double slope = lift * 2.0 * u / layout.arch_width * det_exp(-u * u);
        return 2.0 * det_atan(slope);
    }
    double angle = 0.0;
    for (const Point& core : layout.cores) {
        angle += det_atan2(y - core.y * b, x - core.x * a);
    }
    for (const Point& delta : layout.deltas) {
        angle -= det_atan2(y - delta.y * b, x - delta.x * a);
    }
    return angle;
}

FingerClass class_of(std::uint32_t identity) {
    // Roughly as they occur: loops two thirds, whorls a quarter, arches the rest.
    const std::uint64_t draw = hash(0xC1A55ull, identity, 0) % 100;
    if (draw < 33) {
        return FingerClass::left_loop;
    }
    if (draw < 65) {
        return FingerClass::right_loop;
    }
    if (draw < 92) {
        return FingerClass::whorl;
    }
    return draw < 96 ? FingerClass::arch : FingerClass::tented_arch;
}

// Rows of a grid that the grown area covers: per row, its columns [from, to).
struct Span {
    int from;
    int to;
};

// The finger's canvas at some resolution (scale 1: full, 0.5: half), with the direction and
// period bins of every pixel and the area where ridges grow.
struct Grid {
    int width;
    int height;
    double scale;
    std::vector<std::uint8_t> direction;
    std::vector<std::uint8_t> period;
    std::vector<Span> spans;
};

// Direction bins from the doubled direction evaluated on a coarse lattice and interpolated as a
// vector (so that directions near 0 and 180 degrees blend); period bins from the finger's mean
// period, slowly varying by some 8 per cent.
Grid make_grid(const Finger& finger, const Layout& layout, std::uint64_t seed, double scale, int radius) {
    Grid grid{static_cast<int>(finger.width * scale), static_cast<int>(finger.height * scale), scale, {}, {}, {}};
    constexpr int step = 4;
    const int gw = grid.width / step + 2;
    const int gh = grid.height / step + 2;
    std::vector<double> gc(static_cast<std::size_t>(gw) * gh);
    std::vector<double> gs(gc.size());
    for (int gy = 0; gy < gh; ++gy) {
        for (int gx = 0; gx < gw; ++gx) {
            const double angle = doubled_direction(layout, finger.pad_a, finger.pad_b,
                                                   gx * step / scale - finger.width / 2.0,
                                                   gy * step / scale - finger.height / 2.0);
            gc[gy * gw + gx] = det_cos(angle);
            gs[gy * gw + gx] = det_sin(angle);
        }
    }
    const ValueNoise wander(seed, 110.0, finger.width, finger.height);
    const std::size_t cells = static_cast<std::size_t>(grid.width) * grid.height;
    grid.direction.resize(cells);
    grid.period.resize(cells);
    for (int y = 0; y < grid.height; ++y) {
        const int gy = y / step;
        const double ty = static_cast<double>(y % step) / step;
        for (int x = 0; x < grid.width; ++x) {
            const int gx = x / step;
            const double tx = static_cast<double>(x % step) / step;
            const auto blend = [&](const std::vector<double>& g) {
                const std::size_t i = static_cast<std::size_t>(gy) * gw + gx;
                const double top = g[i] + (g[i + 1] - g[i]) * tx;
                const double bottom = g[i + gw] + (g[i + gw + 1] - g[i + gw]) * tx;
                return top + (bottom - top) * ty;
            };
            double along = 0.5 * det_atan2(blend(gs), blend(gc));
            if (along < 0.0) {
                along += pi;
            }
            const std::size_t i = static_cast<std::size_t>(y) * grid.width + x;
            grid.direction[i] = static_cast<std::uint8_t>(static_cast<int>(along / pi * orientations + 0.5) % orientations);
            const double period = finger.period * (1.0 + 0.08 * wander.at(x / scale, y / scale));
            const int bin = static_cast<int>((period - shortest_period) / period_step + 0.5);
            grid.period[i] = static_cast<std::uint8_t>(std::clamp(bin, 0, periods - 1));
        }
    }
    grid.spans.assign(static_cast<std::size_t>(grid.height), Span{0, 0});
    for (int y = radius; y < grid.height - radius; ++y) {
        const double v = (y / scale - finger.height / 2.0) / (grown_reach * finger.pad_b);
        if (v * v < 1.0) {
            const double half = grown_reach * finger.pad_a * std::sqrt(1.0 - v * v) * scale;
            grid.spans[y] = {std::max(radius, static_cast<int>(grid.width / 2.0 - half)),
                             std::min(grid.width - radius, static_cast<int>(grid.width / 2.0 + half) + 1)};
        }
    }
    return grid;
}

// One round of filtering: every grown pixel becomes the response of its own kernel, times `gain`
// in 1/256, clipped to a ridge's height (which turns band-passed spots or noise into ridges).
template <int radius>
void filter_round(const Grid& grid, const Bank& bank, const std::vector<std::int16_t>& in,
                  std::vector<std::int16_t>& out, int gain) {
    constexpr int side = 2 * radius + 1;
    std::fill(out.begin(), out.end(), std::int16_t{0});
    for (std::size_t y = 0; y < grid.spans.size(); ++y) {
        for (int x = grid.spans[y].from; x < grid.spans[y].to; ++x) {
            const std::size_t i = y * grid.width + x;
            const auto& kernel = bank.kernels[grid.direction[i] * periods + grid.period[i]];
            const std::int16_t* source = in.data() + i - radius * grid.width - radius;
            // |tap| < 2^14 and |sample| <= 2^10 over at most 169 taps: the sum stays under 2^31.
            std::int32_t sum = 0;
            for (int ky = 0; ky < side; ++ky) {
                const std::int16_t* row = source + ky * grid.width;
                const std::int16_t* taps = kernel.data() + ky * side;
                for (int kx = 0; kx < side; ++kx) {
                    sum += row[kx] * taps[kx];
                }
            }
            const std::int32_t value = sum / 16384 * gain / 256;
            out[i] = static_cast<std::int16_t>(std::clamp(value, -field_one, field_one));
        }
    }
}

// The half-resolution field doubled in size by bilinear interpolation.
std::vector<std::int16_t> upsample(const std::vector<std::int16_t>& half, const Grid& small, const Grid& full) {
    std::vector<std::int16_t> field(static_cast<std::size_t>(full.width) * full.height, 0);
    for (int y = 0; y < full.height; ++y) {
        const int y0 = std::min(y / 2, small.height - 2);
        const int fy = y - 2 * y0;  // 0, 1 or (at the last rows) more
        for (int x = 0; x < full.width; ++x) {
            const int x0 = std::min(x / 2, small.width - 2);
            const int fx = x - 2 * x0;
            const std::int16_t* p = half.data() + static_cast<std::size_t>(y0) * small.width + x0;
            const int top = p[0] * (2 - fx) + p[1] * fx;
            const int bottom = p[small.width] * (2 - fx) + p[small.width + 1] * fx;
            field[static_cast<std::size_t>(y) * full.width + x] =
                static_cast<std::int16_t>(std::clamp((top * (2 - fy) + bottom * fy) / 4, -field_one, field_one));
        }
    }
    return field;
}

// Ridge heights 0 to 255 from the grown field, blurred by the binomial kernel 1 4 6 4 1 across
// and down.
std::vector<std::uint8_t> round_profile(const std::vector<std::int16_t>& field, int width, int height) {
    const auto blur = [](const std::int16_t* p, std::ptrdiff_t stride) {
        return p[-2 * stride] + 4 * p[-stride] + 6 * p[0] + 4 * p[stride] + p[2 * stride];
    };
    std::vector<std::int16_t> across(field.size(), 0);
    for (int y = 0; y < height; ++y) {
        for (int x = 2; x < width - 2; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            across[i] = static_cast<std::int16_t>(blur(field.data() + i, 1) / 16);
        }
    }
    std::vector<std::uint8_t> ridge(field.size(), 128);
    for (int y = 2; y < height - 2; ++y) {
        for (int x = 0; x < width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * width + x;
            ridge[i] = static_cast<std::uint8_t>(std::clamp(128 + blur(across.data() + i, width) / 128, 0, 255));
        }
    }
    return ridge;
}

// Dry skin: fine flakes where the ridge fails to touch, denser in some regions than in others.
// Moisture: blotches some three ridges across.
void skin_masks(Finger& finger, std::uint64_t seed) {
    const std::size_t cells = static_cast<std::size_t>(finger.width) * finger.height;
    finger.dry.resize(cells);
    finger.wet.resize(cells);
    const ValueNoise region(seed + 1, 40.0, finger.width, finger.height);
    const ValueNoise flakes(seed + 2, 3.5, finger.width, finger.height);
    const ValueNoise patches(seed + 3, 7.0, finger.width, finger.height);
    const ValueNoise moisture(seed + 4, 16.0, finger.width, finger.height);
    for (int y = 0; y < finger.height; ++y) {
        for (int x = 0; x < finger.width; ++x) {
            const double flake = flakes.at(x, y) + 0.5 * patches.at(x, y);
            const double dry = std::clamp((flake + 0.35 * region.at(x, y) - 0.05) * 3.0, 0.0, 1.0);
            const double wet = std::clamp(moisture.at(x, y) * 1.6 + 0.25, 0.0, 1.0);
            const std::size_t i = static_cast<std::size_t>(y) * finger.width + x;
            finger.dry[i] = static_cast<std::uint8_t>(dry * 255.0 + 0.5);
            finger.wet[i] = static_cast<std::uint8_t>(wet * 255.0 + 0.5);
        }
    }
}

}  // namespace

const char* class_name(FingerClass finger_class) {
    switch (finger_class) {
        case FingerClass::arch:
            return "arch";
        case FingerClass::tented_arch:
            return "tented_arch";
        case FingerClass::left_loop:
            return "left_loop";
        case FingerClass::right_loop:
            return "right_loop";
        case FingerClass::whorl:
            return "whorl";
    }
    return "arch";
}

std::optional<FingerClass> parse_class(const std::string& text) {
    for (const FingerClass c : {FingerClass::arch, FingerClass::tented_arch, FingerClass::left_loop,
                                FingerClass::right_loop, FingerClass::whorl}) {
        if (text == class_name(c)) {
            return c;
        }
    }
    return std::nullopt;
}

std::shared_ptr<const Finger> grow_finger(std::uint32_t identity, std::optional<FingerClass> finger_class) {
    const std::uint64_t seed = 0xF1D0000000000000ull ^ identity;
    SplitMix mix{seed};
    auto finger = std::make_shared<Finger>();
    finger->finger_class = finger_class.value_or(class_of(identity));
    finger->pad_a = mix.between(175.0, 195.0);
    finger->pad_b = mix.between(215.0, 240.0);
    finger->period = mix.between(7.6, 9.2);
    finger->width = 2 * static_cast<int>(canvas_reach * finger->pad_a);
    finger->height = 2 * static_cast<int>(canvas_reach * finger->pad_b);
    const Layout layout = layout_of(finger->finger_class, mix);

    // Ridges grow out of scattered spots at half resolution, until they meet; ridge endings and
    // bifurcations form where the grown systems disagree and where the field bends them.
    const Grid small = make_grid(*finger, layout, seed, 0.5, half_bank().radius);
    std::vector<std::int16_t> field(static_cast<std::size_t>(small.width) * small.height, 0);
    std::vector<std::int16_t> next(field.size(), 0);
    // Faint noise everywhere, so that no corner stays empty, and strong spots that set the ridges'
    // phase around them.
    for (std::size_t y = 0; y < small.spans.size(); ++y) {
        for (int x = small.spans[y].from; x < small.spans[y].to; ++x) {
            field[y * small.width + x] = static_cast<std::int16_t>(static_cast<int>(mix.next() % 129) - 64);
        }
    }
    const int spots = 50;
    for (int placed = 0; placed < spots;) {
        const int y = static_cast<int>(mix.next() % static_cast<std::uint64_t>(small.height));
        const int x = static_cast<int>(mix.next() % static_cast<std::uint64_t>(small.width));
        if (x >= small.spans[y].from && x < small.spans[y].to) {
            field[static_cast<std::size_t>(y) * small.width + x] = static_cast<std::int16_t>(field_one);
            ++placed;
        }
    }
    for (int round = 0; round < growth_rounds; ++round) {
        filter_round<half_radius>(small, half_bank(), field, next, 4 * 256);
        field.swap(next);
    }
    // At full resolution: rounds of strong gain sharpen them into ridges of nearly square profile,
    // which a small blur rounds off, so that pressure can widen them.
    const Grid full = make_grid(*finger, layout, seed, 1.0, full_bank().radius);
    field = upsample(field, small, full);
    next.assign(field.size(), 0);
    for (int round = 0; round < refine_rounds; ++round) {
        filter_round<full_radius>(full, full_bank(), field, next, 2 * 256);
        field.swap(next);
    }
    finger->ridge = round_profile(field, full.width, full.height);
    skin_masks(*finger, seed);
    return finger;
}

}  // namespace vsensor::world
