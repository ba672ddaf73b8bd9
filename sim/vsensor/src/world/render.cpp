// The world's frames: the touch as a physical process (a paraboloid pad whose contact grows with
// the load, ridges that touch where their height and the local pressure pass the skin's
// threshold), the light on the glass (the sensor's own, ambient light with its texture and
// flicker, a hand's shadow, a latent print) and the sensor (exposure, gain, vignetting, fixed
// pattern, shot and read noise). Everything per pixel is integer arithmetic over maps computed
// once, so that a frame costs a few milliseconds and has the same bits on every target.
#include "world.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <stdexcept>

#include "detmath.h"
#include "random.h"

namespace vsensor::world {

namespace {

constexpr double nominal_exposure_ms = 5.0;
constexpr int rows_per_frame_time = 525;  // the sensor reads 480 rows and blanking in one frame time
constexpr std::size_t noise_offsets = std::size_t{1} << 19;
// Darkening of a ridge in full contact at a normal press, in 1/256: ridges at a quarter of the
// glass's light, as the fixed finger shows them.
constexpr int nominal_contrast = 190;
constexpr int ridge_threshold = 168;  // ridge height that touches at a normal press, on the pad's outline
constexpr int pressure_bonus = 70;    // how much the load at the pad's centre raises every ridge
constexpr int pad_one = 4096;

// The sensor and the light on empty glass, in 1/16 grey levels of the output (exposure and gain
// applied), for every pixel; the noise of every level; a table of Gaussian noise.
struct Sensor {
    std::vector<std::uint16_t> base;
    std::vector<std::uint16_t> ambient;  // empty: no ambient light
    std::vector<std::int8_t> offset;     // empty: no fixed offsets
    std::vector<std::int8_t> gauss;      // N(0, 1) in 1/32, for every frame's offset
    std::array<std::uint16_t, 512> sigma{};  // standard deviation in 1/16 by output level
};

Sensor make_sensor(const Environment& env, std::uint64_t seed) {
    Sensor sensor;
    const double scale = env.exposure_ms / nominal_exposure_ms * env.gain * 16.0;
    SplitMix mix{seed ^ 0x5E4503ull};
    const ValueNoise broad(seed + 11, 70.0, frame_width, frame_height);
    const ValueNoise fine(seed + 12, 23.0, frame_width, frame_height);
    const double cx = frame_width / 2.0;
    const double cy = frame_height / 2.0;
    sensor.base.resize(frame_pixels);
    if (env.ambient > 0.0) {
        sensor.ambient.resize(frame_pixels);
    }
    if (env.fixed_offset > 0.0) {
        sensor.offset.resize(frame_pixels);
    }
    // Irwin-Hall: the sum of four bytes is near enough to a Gaussian for noise.
    const auto gaussian = [&mix] {
        const std::uint64_t bits = mix.next();
        return static_cast<double>(static_cast<int>(bits & 0xFF) + static_cast<int>(bits >> 8 & 0xFF) +
                                   static_cast<int>(bits >> 16 & 0xFF) + static_cast<int>(bits >> 24 & 0xFF) - 510) /
               147.8;
    };
    for (int y = 0; y < frame_height; ++y) {
        for (int x = 0; x < frame_width; ++x) {
            const std::size_t i = static_cast<std::size_t>(y) * frame_width + x;
            const double r2 = ((x - cx) * (x - cx) + (y - cy) * (y - cy)) / (cx * cx + cy * cy);
            const double response = (1.0 - env.vignetting * r2) * (1.0 + env.fixed_gain * std::clamp(gaussian(), -3.0, 3.0));
            sensor.base[i] = static_cast<std::uint16_t>(std::clamp(env.background * response * scale + 0.5, 0.0, 65535.0));
            if (!sensor.ambient.empty()) {
                const double shade = 0.5 + 0.35 * broad.at(x, y) + 0.15 * fine.at(x, y);
                const double light = env.ambient * (1.0 - env.texture * shade) * response * scale;
                sensor.ambient[i] = static_cast<std::uint16_t>(std::clamp(light + 0.5, 0.0, 65535.0));
            }
            if (!sensor.offset.empty()) {
                sensor.offset[i] =
                    static_cast<std::int8_t>(std::clamp(std::floor(env.fixed_offset * 16.0 * gaussian() + 0.5), -127.0, 127.0));
            }
        }
    }
    sensor.gauss.resize(noise_offsets + frame_pixels);
    for (auto& value : sensor.gauss) {
        value = static_cast<std::int8_t>(std::clamp(std::floor(32.0 * gaussian() + 0.5), -127.0, 127.0));
    }
    for (std::size_t level = 0; level < sensor.sigma.size(); ++level) {
        const double variance = env.gain * env.gain * env.read_noise * env.read_noise + env.gain * env.shot_noise * level;
        sensor.sigma[level] = static_cast<std::uint16_t>(std::floor(16.0 * std::sqrt(variance) + 0.5));
    }
    return sensor;
}

// Phase lengths of a touch, in frames.
struct Phases {
    std::uint64_t approach;
    std::uint64_t press;
    std::uint64_t hold;
    std::uint64_t lift;
};

// Where and how one touch lands: the line's values, varied per touch by its spread.
struct Landing {
    double x;
    double y;
    int turn;
    double pressure;
};

// What one frame shows; built from the moment, then composed pixel by pixel.
struct Plan {
    const Placed* finger = nullptr;  // null: no finger near the glass
    int origin_x = 0;                // the canvas's corner in the frame
    int origin_y = 0;
    bool contact = false;            // press, hold or lift: ridges may touch
    int level = pad_one;             // contact where the pad's profile exceeds this
    int threshold = ridge_threshold;
    int contrast = 0;                // darkening of a ridge in full contact, /256
    int dry = 0;                     // dry skin's breaks, /256
    int wet = 0;                     // moisture filling the valleys, /256
    int blur_step = 0;               // motion blur: canvas offset between samples
    int blur_taps = 1;
    int hover = 0;                   // approach: how near the finger is, /256
    const Placed* latent = nullptr;
    int latent_x = 0;
    int latent_y = 0;
    int latent_strength = 0;         // /256
    int shadow = 0;                  // the hand's shadow, /256 of the ambient light it takes
    double shadow_x = 0.0;
    double shadow_y = 0.0;
    double shadow_a = 1.0;
    double shadow_b = 1.0;
    std::array<std::int32_t, frame_height> row_gain{};  // ambient light's flicker, /4096
    std::size_t noise_offset = 0;
};

// A real image as the finger; an image that can no longer be read touches nowhere (the frames
// show empty glass), as a recording that can no longer be read does.
std::shared_ptr<const Finger> real_finger(const std::string& path, const std::string& model) {
    try {
        return image_finger(path, model);
    } catch (const std::invalid_argument&) {
        auto nothing = std::make_shared<Finger>();
        nothing->image = true;
        nothing->width = frame_width;
        nothing->height = frame_height;
        nothing->pad_a = nothing->pad_b = 1.0;
        nothing->ridge.assign(frame_pixels, 0);
        nothing->pad.assign(frame_pixels, -30000);
        return nothing;
    }
}

int clamp256(int value) {
    return value < 0 ? 0 : (value > 256 ? 256 : value);
}

// How much a finger cell darkens the glass's light (/256) and whether it touches.
inline int ridge_contact(const Cell& cell, const Plan& plan) {
    const int local = cell.pad - plan.level;
    const int height = cell.ridge + local * pressure_bonus / pad_one - plan.threshold;
    int touch = clamp256(height * 8);
    touch = touch * (256 - (cell.dry * plan.dry >> 8)) >> 8;
    touch += (256 - touch) * (cell.wet * plan.wet >> 8) >> 8;
    return touch;
}

// The per-pixel loop runs for every frame the producer fills, over buffers that this thread owns
// or that are immutable once built; it is kept out of ThreadSanitizer's per-access
// instrumentation, which would multiply a frame's cost.
__attribute__((no_sanitize("thread"))) std::uint32_t compose(const Plan& plan, const Sensor& sensor,
                                                            unsigned char* out) {
    std::uint32_t touching = 0;
    const Placed* f = plan.finger;
    const Placed* l = plan.latent;
    std::array<std::int32_t, frame_width> shadow_column{};
    const bool shadowed = plan.shadow > 0 && !sensor.ambient.empty();
    if (shadowed) {
        for (int x = 0; x < frame_width; ++x) {
            const double u = (x - plan.shadow_x) / plan.shadow_a;
            shadow_column[x] = static_cast<std::int32_t>(u * u * 4096.0);
        }
    }
    for (int y = 0; y < frame_height; ++y) {
        const int fy = y - plan.origin_y;
        const Cell* finger_row = f != nullptr && fy >= 0 && fy < f->height ? f->cells.data() + std::size_t(fy) * f->width : nullptr;
        const int ly = y - plan.latent_y;
        const Cell* latent_row = l != nullptr && ly >= 0 && ly < l->height ? l->cells.data() + std::size_t(ly) * l->width : nullptr;
        const double v = shadowed ? (y - plan.shadow_y) / plan.shadow_b : 0.0;
        const std::int32_t shadow_row = static_cast<std::int32_t>(v * v * 4096.0);
        const std::size_t row = static_cast<std::size_t>(y) * frame_width;
        const std::int8_t* noise = sensor.gauss.data() + plan.noise_offset + row;
        for (int x = 0; x < frame_width; ++x) {
            const std::size_t i = row + x;
            std::int32_t light = sensor.base[i];
            std::int32_t ambient = sensor.ambient.empty() ? 0 : sensor.ambient[i] * plan.row_gain[y] >> 12;
            bool covered = false;
            const int fx = x - plan.origin_x;
            if (finger_row != nullptr && fx >= 0 && fx < f->width) {
                const Cell& cell = finger_row[fx];
                if (plan.contact && cell.pad > plan.level) {
                    covered = true;
                    ++touching;
                    if (f->image) {
                        // The image shows its own grey levels at full contrast.
                        const int weight = std::min(256, plan.contrast * 256 / nominal_contrast);
                        light = (light * (256 - weight) + cell.ridge * 16 * weight) >> 8;
                    } else {
                        // A cell in contact lies inside the pad, which the canvas surrounds by a
                        // third of its radius: the blur's few samples stay inside the canvas.
                        int touch = 0;
                        for (int tap = 0; tap < plan.blur_taps; ++tap) {
                            touch += ridge_contact(finger_row[fx + tap * plan.blur_step], plan);
                        }
                        light = light * (256 - (touch / plan.blur_taps * plan.contrast >> 8)) >> 8;
                    }
                    ambient = ambient * 38 >> 8;  // some light passes through the finger
                } else {
                    // The finger's body above the glass shades the ambient light around the contact;
                    // approaching, its blurred silhouette also scatters a little of the sensor's light.
                    // Both fade out well inside the canvas, which reaches 1.3 pad radii.
                    const int near = plan.contact ? clamp256((cell.pad + 1600) * 256 / 1600)
                                                  : clamp256((cell.pad + 2400) * plan.hover / 2400);
                    ambient = ambient * (256 - (near * 200 >> 8)) >> 8;
                    light = light * (256 - (near * plan.hover >> 12)) >> 8;
                }
            }
            const int lx = x - plan.latent_x;
            if (!covered && latent_row != nullptr && lx >= 0 && lx < l->width && latent_row[lx].pad > 0) {
                const Cell& cell = latent_row[lx];
                const int residue = clamp256((cell.ridge - 140) * 4) * (128 + (cell.wet >> 1)) >> 8;
                light = light * (256 - (residue * plan.latent_strength >> 8)) >> 8;
            }
            if (shadowed) {
                const int mask = clamp256((5734 - shadow_column[x] - shadow_row) * 256 / 3277);
                ambient = ambient * (256 - (mask * plan.shadow >> 8)) >> 8;
            }
            std::int32_t value = light + ambient;
            value += noise[x] * sensor.sigma[std::min(value >> 4, 511)] >> 5;
            if (!sensor.offset.empty()) {
                value += sensor.offset[i];
            }
            value = (value + 8) >> 4;
            out[2 * i] = static_cast<unsigned char>(value < 0 ? 0 : (value > 255 ? 255 : value));
            out[2 * i + 1] = 128;
        }
    }
    return touching;
}

}  // namespace

struct World::Impl {
    std::shared_ptr<const Scene> scene;
    std::uint32_t seed;
    double rate;
    std::string model;
    std::vector<Phases> phases;

    mutable std::once_flag prepared;
    mutable std::shared_ptr<const Finger> finger;
    mutable Sensor sensor;
    mutable std::mutex placements_mutex;
    mutable std::map<int, std::shared_ptr<const Placed>> placements;

    std::uint64_t frames(double ms, std::uint64_t least) const {
        return std::max<std::uint64_t>(least, static_cast<std::uint64_t>(std::floor(ms * rate / 1000.0 + 0.5)));
    }

    void prepare() const {
        std::call_once(prepared, [this] {
            finger = scene->image.empty() ? grow_finger(scene->identity.value_or(seed), scene->finger_class)
                                         : real_finger(scene->image, model);
            sensor = make_sensor(scene->environment, 0xE7E7ull ^ (std::uint64_t{seed} << 20));
        });
    }

    const Placed& placed(int turn) const {
        std::lock_guard<std::mutex> lock(placements_mutex);
        auto& slot = placements[finger->image ? 0 : turn];
        if (!slot) {
            slot = place(*finger, turn);
        }
        return *slot;
    }

    Landing landing(std::size_t touch_plan, std::uint32_t touch_number) const {
        const TouchPlan& touch = scene->touches[touch_plan];
        SplitMix mix{hash(seed, touch_number, 0x1A4D)};
        const double spread = touch.spread;
        const double x = frame_width / 2.0 + touch.at_x + mix.between(-spread, spread);
        const double y = frame_height / 2.0 + touch.at_y + mix.between(-spread, spread);
        const double turn = touch.turn + mix.between(-spread, spread) / 4.0;
        const double pressure = touch.pressure * (1.0 + mix.between(-spread, spread) / 200.0);
        return {x, y, static_cast<int>(std::floor(turn + 0.5)), pressure};
    }

    // The pad's centre in frame n of a touch, `into` frames into its step: sliding during the
    // hold, trembling by a pixel while it holds.
    void centre(const Landing& landing, const TouchPlan& touch, const Phases& p, std::uint64_t into,
                std::uint32_t touch_number, double& x, double& y) const {
        const std::uint64_t hold_start = p.approach + p.press;
        const double travelled =
            into < hold_start ? 0.0 : std::min(1.0, static_cast<double>(into - hold_start) / std::max<std::uint64_t>(p.hold, 1));
        x = landing.x + touch.slide_x * travelled;
        y = landing.y + touch.slide_y * travelled;
        if (into >= hold_start && into < hold_start + p.hold) {
            const std::uint64_t shake = hash(seed ^ 0x7E30, touch_number, static_cast<std::int64_t>(into / 3));
            x += touch.tremor * (static_cast<double>(shake % 3) - 1.0);
            y += touch.tremor * (static_cast<double>(shake / 3 % 3) - 1.0);
        }
    }

    Plan plan(std::uint64_t n, const Moment& moment, recording::Phase& phase) const;
};

Plan World::Impl::plan(std::uint64_t n, const Moment& moment, recording::Phase& phase) const {
    const Environment& env = scene->environment;
    Plan plan;
    SplitMix mix{n * 0x2545F4914F6CDD1Dull ^ seed};
    plan.noise_offset = mix.next() & (noise_offsets - 1);
    const double t = n / rate;
    const double frame_time = 1.0 / rate;
    const double exposure = env.exposure_ms / 1000.0;
    // Each row integrates the light over the exposure that ends when it is read: a flicker much
    // faster than the exposure averages out (by sin(x)/x), a slower one shows as bands.
    const double arg = pi * env.flicker_hz * exposure;
    const double smear = arg < 1e-9 ? 1.0 : det_sin(arg) / arg;
    for (int y = 0; y < frame_height; ++y) {
        const double row_time = t + y * frame_time / rows_per_frame_time - exposure / 2.0;
        const double wave = env.flicker_hz > 0.0 ? det_cos(2.0 * pi * env.flicker_hz * row_time) : 0.0;
        plan.row_gain[y] = static_cast<std::int32_t>(std::floor(4096.0 * (1.0 + env.flicker_depth * smear * wave) + 0.5));
    }
    phase = recording::Phase::none;

    if (moment.after_touch && env.latent > 0.0) {
        const Phases& p = phases[moment.last_plan];
        const Landing last = landing(moment.last_plan, moment.last_number);
        double x = 0.0;
        double y = 0.0;
        centre(last, scene->touches[moment.last_plan], p, p.approach + p.press + p.hold + p.lift - 1, moment.last_number, x, y);
        const Placed& print = placed(last.turn);
        plan.latent = &print;
        plan.latent_x = static_cast<int>(std::floor(x + 0.5)) - print.centre_x;
        plan.latent_y = static_cast<int>(std::floor(y + 0.5)) - print.centre_y;
        const double age = static_cast<double>(moment.frames_since) / rate;
        plan.latent_strength = static_cast<int>(256.0 * env.latent * det_exp(-age / env.latent_fade_s));
    }
    if (!moment.touching) {
        return plan;
    }

    const TouchPlan& touch = scene->touches[moment.touch_plan];
    const Phases& p = phases[moment.touch_plan];
    const Landing land = landing(moment.touch_plan, moment.touch_number);
    const Placed& finger_placed = placed(land.turn);
    double x = 0.0;
    double y = 0.0;
    const std::uint64_t k = moment.step_frame;
    centre(land, touch, p, k, moment.touch_number, x, y);
    plan.finger = &finger_placed;
    plan.origin_x = static_cast<int>(std::floor(x + 0.5)) - finger_placed.centre_x;
    plan.origin_y = static_cast<int>(std::floor(y + 0.5)) - finger_placed.centre_y;

    // The load: contact grows as a paraboloid pad meets the glass (its area in proportion to the
    // load), fast at first; ridges darken more as they are pressed flat.
    // Beyond a normal press the whole pad touches, at full contrast, tremor or not.
    const double pressure = land.pressure;
    const double full = 0.25 + 0.75 * pressure;
    const Skin skin = touch.skin.value_or(scene->skin);
    const double skin_contrast = skin == Skin::dry ? 0.65 : (skin == Skin::wet ? 0.7 : 1.0);
    const double peak = nominal_contrast * (0.6 + 0.4 * pressure);
    double contact = 0.0;
    double contrast = 0.0;
    if (k < p.approach) {
        phase = recording::Phase::approach;
        plan.hover = static_cast<int>(256.0 * (k + 1) / p.approach);
    } else if (k < p.approach + p.press) {
        phase = recording::Phase::press;
        const double s = static_cast<double>(k - p.approach + 1) / p.press;
        contact = full * (1.0 - (1.0 - s) * (1.0 - s));
        contrast = peak * (0.45 + 0.55 * s);
    } else if (k < p.approach + p.press + p.hold) {
        phase = recording::Phase::hold;
        const std::uint64_t wobble = hash(seed ^ 0x7E31, moment.touch_number, static_cast<std::int64_t>(k / 2));
        contact = full * (0.985 + 0.015 * static_cast<double>(wobble % 101) / 100.0);
        contrast = peak * (0.97 + 0.03 * static_cast<double>(wobble / 101 % 101) / 100.0);
    } else {
        phase = recording::Phase::lift;
        const double s = (static_cast<double>(k - p.approach - p.press - p.hold) + 0.5) / p.lift;
        contact = full * (1.0 - s) * std::sqrt(1.0 - s);
        contrast = peak * (0.35 + 0.65 * (1.0 - s));
    }
    plan.contact = phase != recording::Phase::approach;
    plan.level = static_cast<int>(std::floor(pad_one * (1.0 - std::min(1.0, contact)) + 0.5));
    plan.contrast = static_cast<int>(std::floor(std::min<double>(nominal_contrast, contrast) * skin_contrast + 0.5));
    plan.threshold = static_cast<int>(ridge_threshold - 40.0 * (pressure - 1.0)) + (skin == Skin::dry ? 18 : 0) -
                     (skin == Skin::wet ? 12 : 0);
    plan.dry = skin == Skin::dry ? 230 : 0;
    plan.wet = skin == Skin::wet ? 190 : 0;
    // A sliding finger smears over the exposure: samples along its path.
    if (phase == recording::Phase::hold && p.hold > 0) {
        const double step_x = touch.slide_x / p.hold * exposure / frame_time;
        const double step_y = touch.slide_y / p.hold * exposure / frame_time;
        const double length = std::sqrt(step_x * step_x + step_y * step_y);
        if (length >= 1.0) {
            plan.blur_taps = std::min(4, static_cast<int>(length) + 1);
            const double ux = step_x / length;
            const double uy = step_y / length;
            plan.blur_step = -(static_cast<int>(std::floor(ux + 0.5)) + static_cast<int>(std::floor(uy + 0.5)) * finger_placed.width);
        }
    }
    if (env.shadow > 0.0) {
        const double strength = phase == recording::Phase::approach ? static_cast<double>(k + 1) / p.approach
                                : phase == recording::Phase::lift
                                    ? 1.0 - static_cast<double>(k - p.approach - p.press - p.hold + 1) / (p.lift + 1)
                                    : 1.0;
        plan.shadow = static_cast<int>(256.0 * env.shadow * strength);
        plan.shadow_x = x;
        plan.shadow_y = y + 1.25 * finger->pad_b;
        plan.shadow_a = 1.6 * finger->pad_a;
        plan.shadow_b = 1.7 * finger->pad_b;
    }
    return plan;
}

World::World(std::shared_ptr<const Scene> scene, std::uint32_t seed, double rate, std::string model)
    : impl_(std::make_unique<Impl>()) {
    impl_->scene = std::move(scene);
    impl_->seed = seed;
    impl_->rate = rate;
    impl_->model = std::move(model);
    for (const TouchPlan& touch : impl_->scene->touches) {
        impl_->phases.push_back({impl_->frames(touch.approach_ms, 0), impl_->frames(touch.press_ms, 1),
                                 impl_->frames(touch.hold_ms, 0), impl_->frames(touch.lift_ms, 1)});
    }
}

World::~World() = default;

std::uint64_t World::touch_frames(std::size_t touch_plan) const {
    const Phases& p = impl_->phases.at(touch_plan);
    return p.approach + p.press + p.hold + p.lift;
}

namespace {

// The cells of the placed finger inside the frame that touch the glass: what compose counts.
std::uint32_t contact_cells(const Plan& plan) {
    const Placed* f = plan.finger;
    if (f == nullptr || !plan.contact) {
        return 0;
    }
    std::uint32_t touching = 0;
    for (int y = std::max(0, plan.origin_y); y < std::min(frame_height, plan.origin_y + f->height); ++y) {
        const Cell* row = f->cells.data() + static_cast<std::size_t>(y - plan.origin_y) * f->width - plan.origin_x;
        for (int x = std::max(0, plan.origin_x); x < std::min(frame_width, plan.origin_x + f->width); ++x) {
            touching += row[x].pad > plan.level ? 1u : 0u;
        }
    }
    return touching;
}

recording::Truth truth_of(std::uint64_t n, const Moment& moment, const Plan& plan, recording::Phase phase,
                          std::uint32_t touching) {
    recording::Truth truth;
    truth.known = true;
    truth.sensor_frame = static_cast<std::uint32_t>(n);
    truth.phase = phase;
    truth.touch = moment.touching ? moment.touch_number : 0;
    truth.contact = touching > 0;
    if (truth.contact) {
        const std::uint64_t area = std::max<std::uint32_t>(plan.finger->pad_area, 1);
        truth.contact_permyriad = static_cast<std::uint16_t>(std::min<std::uint64_t>(10000, touching * 10000ull / area));
        truth.contrast_permyriad =
            static_cast<std::uint16_t>(std::min(10000, plan.contrast * 10000 / nominal_contrast));
    }
    return truth;
}

}  // namespace

recording::Truth World::render(std::uint64_t n, const Moment& moment, unsigned char* out) const {
    impl_->prepare();
    recording::Phase phase = recording::Phase::none;
    const Plan plan = impl_->plan(n, moment, phase);
    return truth_of(n, moment, plan, phase, compose(plan, impl_->sensor, out));
}

recording::Truth World::truth(std::uint64_t n, const Moment& moment) const {
    impl_->prepare();
    recording::Phase phase = recording::Phase::none;
    const Plan plan = impl_->plan(n, moment, phase);
    return truth_of(n, moment, plan, phase, contact_cells(plan));
}

}  // namespace vsensor::world
