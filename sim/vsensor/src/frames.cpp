// Frame sources of the virtual sensor: empty glass, a synthetic finger and the replay of a
// recording, strung into a timeline.
#include "internal.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <stdexcept>

#include "correction_geometry.h"
#include "recording/recording.h"
#include "world/random.h"

namespace vsensor::detail {

namespace {

constexpr std::size_t pixels = std::size_t{frame_width} * frame_height;
// Frames draw their noise from a window of this table that starts at a per-frame offset.
constexpr std::size_t noise_offsets = std::size_t{1} << 19;
constexpr double nominal_fps = 30.0;

// The same seed gives the same frames everywhere.
using world::SplitMix;

std::uint64_t noise_offset(std::uint64_t n) {
    SplitMix mix{n * 0x2545F4914F6CDD1Dull};
    return mix.next() & (noise_offsets - 1);
}

// The per-pixel loops below run for every frame the producer fills. They touch only buffers
// that this thread owns or that are immutable once built (published by std::call_once), so
// they are kept out of ThreadSanitizer's per-access instrumentation, which would make a frame
// cost some 100 ms in a sanitizer build.
#define VSENSOR_PIXEL_LOOP __attribute__((no_sanitize("thread")))

// Writes luma + noise as UYVY-ordered pairs: the sample first, a neutral chroma second.
VSENSOR_PIXEL_LOOP void compose(const unsigned char* luma, int flat_level, const signed char* noise,
                                unsigned char* out) {
    for (std::size_t i = 0; i < pixels; ++i) {
        const int base = luma != nullptr ? luma[i] : flat_level;
        const int value = std::clamp(base + noise[i], 0, 255);
        out[2 * i] = static_cast<unsigned char>(value);
        out[2 * i + 1] = static_cast<unsigned char>(chroma_level);
    }
}

// Noise of +-2 grey levels, uniform, for every offset a frame may start at.
VSENSOR_PIXEL_LOOP void fill_noise(std::uint32_t seed, std::vector<signed char>& noise) {
    SplitMix mix{0x5EED0000ull + seed};
    noise.resize(noise_offsets + pixels);
    // Eight values from each draw: a byte modulo 5 is close enough to uniform for noise.
    std::uint64_t bits = 0;
    for (std::size_t i = 0; i < noise.size(); ++i) {
        if (i % 8 == 0) {
            bits = mix.next();
        }
        noise[i] = static_cast<signed char>(static_cast<int>(bits & 0xFF) % 5 - 2);
        bits >>= 8;
    }
}

// A fingertip pressed on the glass: ridges of period 7.5 to 8.5 px, dark ridges and bright
// valleys about 95 grey levels either side of 120 (nearly square in profile, as a pressed
// ridge is), running across the frame and bent upwards over the middle like an arch pattern,
// so their orientation turns by some 30 degrees across the frame. Outside the tip's outline
// the glass shows through. The contrast is what makes small blocks score high: with 2 x 2
// samples two rows apart, a ridge period of 8 px leaves a quarter period between the rows.
// The same seed gives the same finger.
VSENSOR_PIXEL_LOOP std::vector<unsigned char> render_finger(std::uint32_t seed) {
    SplitMix mix{0xF1A9E5ull ^ (std::uint64_t{seed} << 17)};
    const double centre_x = 320.0 + (mix.unit() * 20.0 - 10.0);
    const double centre_y = 240.0 + (mix.unit() * 20.0 - 10.0);
    const double period = 7.5 + mix.unit();
    const double bend_height = 70.0 + mix.unit() * 50.0;  // how far the arch rises, px
    const double bend_width = 150.0 + mix.unit() * 40.0;
    const double phase = mix.unit() * period;
    const double warp_phase_x = mix.unit() * 6.283;
    const double warp_phase_y = mix.unit() * 6.283;
    constexpr double outline_a = 320.0;  // half-width of the tip's outline
    constexpr double outline_b = 250.0;  // half-height
    constexpr double two_pi = 6.283185307179586;

    // Ridge profile over one period, and the terms that depend on x or y alone.
    constexpr int profile_steps = 1024;
    std::vector<double> profile(profile_steps);
    for (int i = 0; i < profile_steps; ++i) {
        const double ridge = std::clamp(2.2 * std::sin(two_pi * i / profile_steps), -1.0, 1.0);
        profile[i] = 120.0 + 95.0 * ridge;
    }
    std::vector<double> bend_x(frame_width), warp_x(frame_width), outline_x(frame_width);
    for (std::uint32_t x = 0; x < frame_width; ++x) {
        const double across = (x - centre_x) / bend_width;
        bend_x[x] = bend_height * std::exp(-across * across);
        warp_x[x] = 4.0 * std::sin(x / 41.0 + warp_phase_x);
        const double ox = (x - centre_x) / outline_a;
        outline_x[x] = ox * ox;
    }

    std::vector<unsigned char> luma(pixels);
    for (std::uint32_t y = 0; y < frame_height; ++y) {
        const double bend_y = 1.0 - 0.5 * y / frame_height;
        const double warp_y = std::cos(y / 37.0 + warp_phase_y);
        const double oy = (y - centre_y) / outline_b;
        const double outline_y = oy * oy;
        for (std::uint32_t x = 0; x < frame_width; ++x) {
            const double position = y + bend_x[x] * bend_y + warp_x[x] * warp_y + phase;
            const double turns = position / period;
            const auto step = static_cast<int>((turns - std::floor(turns)) * profile_steps) % profile_steps;
            const double finger = profile[step];
            // Blend into the glass over the last tenth of the outline.
            const double inside = std::clamp((1.0 - std::sqrt(outline_x[x] + outline_y)) / 0.1, 0.0, 1.0);
            const double value = inside * finger + (1.0 - inside) * glass_level;
            luma[std::size_t{y} * frame_width + x] = static_cast<unsigned char>(std::lround(value));
        }
    }
    return luma;
}

}  // namespace

FrameSource::FrameSource(Timeline timeline, std::uint32_t seed, double fps, const std::string& model)
    : timeline_(std::move(timeline)), seed_(seed), fps_(fps) {
    if (timeline_.world) {
        int width = 0;
        int height = 0;
        if (!timeline_.world->image.empty() && !correction_size(model, width, height)) {
            throw std::invalid_argument("a finger image needs the sensor model GC0307, GC0328 or GC032A, not '" +
                                        model + "'");
        }
        world_ = std::make_unique<const world::World>(timeline_.world, seed_, fps_ > 0.0 ? fps_ : nominal_fps, model);
    }
    std::uint64_t start = 0;
    for (const Step& step : timeline_.steps) {
        step_starts_.push_back(start);
        start += step_frames(step);
    }
}

FrameSource::~FrameSource() = default;

const std::vector<unsigned char>& FrameSource::finger_luma() const {
    std::call_once(finger_once_, [this] { finger_luma_ = render_finger(seed_); });
    return finger_luma_;
}

const std::vector<signed char>& FrameSource::noise() const {
    std::call_once(noise_once_, [this] { fill_noise(seed_, noise_); });
    return noise_;
}

std::uint64_t FrameSource::step_frames(const Step& step) const {
    if (step.kind == Step::Kind::replay) {
        return step.recording_frames;
    }
    if (step.kind == Step::Kind::touch) {
        return world_->touch_frames(step.touch);
    }
    if (step.frames) {
        return *step.frames;
    }
    if (step.duration) {
        // Durations count frames at the configured rate (30 fps when frames come as fast as
        // they are consumed), so a timeline is the same frames however fast it is read.
        const double rate = fps_ > 0.0 ? fps_ : nominal_fps;
        const auto count = std::llround(static_cast<double>(step.duration->count()) * rate / 1000.0);
        return static_cast<std::uint64_t>(std::max<long long>(count, 1));
    }
    return 0;
}

std::uint64_t FrameSource::length() const {
    if (timeline_.steps.empty() || (timeline_.repeat && timeline_.passes == 0)) {
        return 0;
    }
    std::uint64_t total = 0;
    for (const auto& step : timeline_.steps) {
        const std::uint64_t frames = step_frames(step);
        if (frames == 0) {
            return 0;
        }
        total += frames;
    }
    return timeline_.repeat ? total * timeline_.passes : total;
}

FrameSource::Position FrameSource::locate(std::uint64_t n) const {
    const auto& steps = timeline_.steps;
    if (steps.empty()) {
        return {nullptr, n};
    }
    std::uint64_t cycle = 0;
    for (int pass = 0; pass < 2; ++pass) {
        std::uint64_t start = 0;
        for (const auto& step : steps) {
            const std::uint64_t length = step_frames(step);
            if (length == 0 || n < start + length) {
                // A step without an end holds for ever; the steps after it are never reached.
                return {&step, n - start, cycle};
            }
            start += length;
        }
        if (!timeline_.repeat) {
            // Past the end: the last step holds.
            const Step& last = steps.back();
            return {&last, n - (start - step_frames(last)), cycle};
        }
        if (start == 0) {
            break;  // a timeline of empty steps: nothing to repeat
        }
        if (timeline_.passes != 0 && n / start >= timeline_.passes) {
            // After the last pass, the last step holds.
            const Step& last = steps.back();
            return {&last, n - (start * timeline_.passes - step_frames(last)), timeline_.passes - 1};
        }
        cycle = n / start;
        n %= start;
    }
    return {&steps.front(), 0};
}

std::uint32_t FrameSource::touch_number(const Position& where) const {
    const auto& steps = timeline_.steps;
    const auto is_touch = [](const Step& step) {
        return step.kind == Step::Kind::finger || step.kind == Step::Kind::touch;
    };
    const auto here = steps.begin() + (where.step - steps.data());
    const auto per_cycle = static_cast<std::uint64_t>(std::count_if(steps.begin(), steps.end(), is_touch));
    const auto before = static_cast<std::uint64_t>(std::count_if(steps.begin(), here, is_touch));
    // The truth keeps the low 32 bits, as it keeps those of the frame number.
    return static_cast<std::uint32_t>(where.cycle * per_cycle + before + 1);
}

world::Moment FrameSource::moment(std::uint64_t n, const Position& where) const {
    world::Moment moment;
    if (where.step == nullptr) {
        return moment;
    }
    const auto& steps = timeline_.steps;
    const std::size_t index = static_cast<std::size_t>(where.step - steps.data());
    moment.touching = where.step->kind == Step::Kind::touch;
    moment.touch_plan = where.step->touch;
    moment.step_frame = where.step_frame;
    if (moment.touching) {
        moment.touch_number = touch_number(where);
    }
    // The touch before: earlier in this pass over the timeline, or the last of the pass before.
    const std::uint64_t cycle_start = n - where.step_frame - step_starts_[index];
    const std::uint64_t cycle_length = step_starts_.back() + step_frames(steps.back());
    for (std::size_t back = 1; back <= steps.size(); ++back) {
        const bool earlier_pass = back > index;
        if (earlier_pass && where.cycle == 0) {
            break;
        }
        const std::size_t j = earlier_pass ? index + steps.size() - back : index - back;
        if (steps[j].kind == Step::Kind::touch) {
            const std::uint64_t end = (earlier_pass ? cycle_start - cycle_length : cycle_start) + step_starts_[j] +
                                      step_frames(steps[j]);
            moment.after_touch = true;
            moment.last_plan = steps[j].touch;
            moment.last_number = touch_number({&steps[j], 0, earlier_pass ? where.cycle - 1 : where.cycle});
            moment.frames_since = n - end;
            break;
        }
    }
    return moment;
}

recording::Truth FrameSource::render(std::uint64_t n, unsigned char* out, ReplayCursor& cursor) const {
    const Position where = locate(n);
    if (world_ && (where.step == nullptr || where.step->kind == Step::Kind::glass ||
                   where.step->kind == Step::Kind::touch)) {
        return world_->render(n, moment(n, where), out);
    }
    const signed char* frame_noise = noise().data() + noise_offset(n);
    recording::Truth truth;
    truth.known = true;
    truth.sensor_frame = static_cast<std::uint32_t>(n);
    if (where.step != nullptr && where.step->kind == Step::Kind::replay) {
        const std::uint64_t last = where.step->recording_frames - 1;
        if (where.step->recording_frames > 0 &&
            cursor.read(where.step->path, std::min(where.step_frame, last), out, truth)) {
            truth.sensor_frame = static_cast<std::uint32_t>(n);
            return truth;
        }
        compose(nullptr, glass_level, frame_noise, out);
        return truth;
    }
    if (where.step != nullptr && where.step->kind == Step::Kind::finger) {
        compose(finger_luma().data(), 0, frame_noise, out);
        // The fixed finger lies whole on the glass from its first frame to its last.
        truth.contact = true;
        truth.phase = recording::Phase::hold;
        truth.contact_permyriad = 10000;
        truth.contrast_permyriad = 10000;
        truth.touch = touch_number(where);
        return truth;
    }
    compose(nullptr, glass_level, frame_noise, out);
    return truth;
}

recording::Truth FrameSource::truth(std::uint64_t n, ReplayCursor& cursor) const {
    const Position where = locate(n);
    if (world_ && (where.step == nullptr || where.step->kind == Step::Kind::glass ||
                   where.step->kind == Step::Kind::touch)) {
        return world_->truth(n, moment(n, where));
    }
    std::vector<unsigned char> frame(frame_bytes);
    return render(n, frame.data(), cursor);
}

struct ReplayCursor::Impl {
    std::string path;
    std::unique_ptr<recording::Reader> reader;
    std::uint64_t next_index = 0;
    recording::Frame frame;
};

ReplayCursor::ReplayCursor() : impl_(std::make_unique<Impl>()) {}
ReplayCursor::~ReplayCursor() = default;

bool ReplayCursor::read(const std::string& path, std::uint64_t index, unsigned char* out,
                        recording::Truth& truth) {
    try {
        if (!impl_->reader || impl_->path != path) {
            impl_->reader = std::make_unique<recording::Reader>(path);
            impl_->path = path;
            impl_->next_index = 0;
        }
        if (index < impl_->next_index) {
            impl_->reader->rewind();
            impl_->next_index = 0;
        }
        while (impl_->next_index <= index) {
            if (!impl_->reader->next(impl_->frame)) {
                impl_->reader.reset();
                return false;
            }
            ++impl_->next_index;
        }
        const std::size_t length = std::min(impl_->frame.bytes.size(), frame_bytes);
        std::memcpy(out, impl_->frame.bytes.data(), length);
        std::memset(out + length, 0, frame_bytes - length);
        truth = impl_->frame.truth;
        return true;
    } catch (const std::exception&) {
        impl_->reader.reset();
        return false;
    }
}

std::uint64_t count_recording_frames(const std::string& path) {
    try {
        recording::Reader reader(path);
        recording::Frame frame;
        std::uint64_t count = 0;
        while (reader.next(frame)) {
            ++count;
        }
        if (count == 0) {
            throw std::invalid_argument("recording " + path + " holds no frame");
        }
        return count;
    } catch (const std::runtime_error& error) {
        throw std::invalid_argument(error.what());
    }
}

}  // namespace vsensor::detail
