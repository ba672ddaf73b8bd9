// The virtual sensor's world: a finger grown from its identity, touching the glass as a physical
// process (press, hold, lift, slide; normal, dry or wet skin), seen through ambient light and an
// imperfect sensor, and the ground truth of every frame. Deterministic per seed, with the same bits
// on every target. Everything here is immutable once built, so the producer thread and frame_at
// may render from it at once; what is built lazily is built under a lock.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "recording/recording.h"

namespace vsensor::world {

constexpr int frame_width = 640;
constexpr int frame_height = 480;
constexpr std::size_t frame_pixels = std::size_t{frame_width} * frame_height;

// ---------------------------------------------------------------- the finger

// Pattern classes by their singular points: none (arch), a core above a close delta (tented
// arch), one core and one delta to the right (left loop) or to the left (right loop), two cores
// and two deltas (whorl).
enum class FingerClass : std::uint8_t { arch, tented_arch, left_loop, right_loop, whorl };
const char* class_name(FingerClass finger_class);
std::optional<FingerClass> parse_class(const std::string& text);

// A finger's ridges in its own coordinates (x to the right, y towards the base of the finger):
// the pad, an ellipse centred in the canvas, is the area that touches the glass under full
// pressure. Pixels are ridge heights, 0 the deepest valley and 255 a ridge crest; `dry` and `wet`
// are where dry skin fails to touch and how much moisture lies on the skin (0 to 255).
struct Finger {
    FingerClass finger_class = FingerClass::arch;
    int width = 0;
    int height = 0;
    double pad_a = 0.0;          // semi-axes of the pad, px
    double pad_b = 0.0;
    double period = 0.0;         // mean ridge period, px
    bool image = false;          // a real image placed on the glass already: `ridge` holds its grey
                                 // levels, `pad` its pressure profile, and it is never turned
    std::vector<std::uint8_t> ridge;
    std::vector<std::uint8_t> dry;
    std::vector<std::uint8_t> wet;
    std::vector<std::int16_t> pad;  // images only (see Cell)
};

// The finger of an identity: the same identity always grows the same ridges. The class follows
// from the identity unless one is given. Costs some tens of milliseconds: grow it once.
std::shared_ptr<const Finger> grow_finger(std::uint32_t identity, std::optional<FingerClass> finger_class);

// One cell of a finger placed on the glass at some rotation.
struct Cell {
    std::uint8_t ridge;
    std::uint8_t dry;
    std::uint8_t wet;
    std::uint8_t spare;
    std::int16_t pad;  // pressure profile, 4096 at the pad's centre, 0 on its outline, negative outside
};

// A finger turned by a whole number of degrees, ready to be composed at an integer offset: the
// pad's centre lies at (centre_x, centre_y) of the canvas.
struct Placed {
    int width = 0;
    int height = 0;
    int centre_x = 0;
    int centre_y = 0;
    std::uint32_t pad_area = 0;  // cells inside the pad (pad > 0)
    bool image = false;
    std::vector<Cell> cells;
};
std::shared_ptr<const Placed> place(const Finger& finger, int turn_degrees);

// A real finger image (PNG or PGM, grey or colour, any size from 2 x 2 to 4096 x 4096), taken at
// the corrected image's scale and centred on it, placed on the glass through the inverse of the
// correction of `model` (GC0307, GC0328 or GC032A). check_image only decodes it. Both throw
// std::invalid_argument naming the path (or the model) and the problem.
void check_image(const std::string& path);
std::shared_ptr<const Finger> image_finger(const std::string& path, const std::string& model);

// ---------------------------------------------------------------- what a scenario says

enum class Skin : std::uint8_t { normal, dry, wet };

// One touch: its phases (approach: above the glass; press: contact growing with the pressure;
// hold; lift: contact shrinking), where and how it lands, and how it moves.
struct TouchPlan {
    double approach_ms = 250.0;
    double press_ms = 150.0;
    double hold_ms = 1000.0;
    double lift_ms = 150.0;
    double pressure = 1.0;   // 1 a normal press; below about 0.8 the pad never touches whole
    double at_x = 0.0;       // the pad's centre from the glass's centre, px
    double at_y = 0.0;
    double turn = 0.0;       // degrees, clockwise on the frame
    double slide_x = 0.0;    // px travelled during the hold
    double slide_y = 0.0;
    double tremor = 1.0;     // px the pad trembles by while it holds
    std::optional<Skin> skin;  // the scenario's skin when absent
    double spread = 0.0;     // successive touches land within +-spread px, turned within
                             // +-spread/4 degrees, pressed within +-spread/2 per cent
};

// The light and the sensor, for every frame of a scenario that has a world line.
struct Environment {
    double background = 200.0;  // empty glass at the nominal exposure and gain, grey levels
    double ambient = 0.0;       // light through the glass at its brightest, grey levels
    double texture = 0.0;       // how much the ambient light varies over the glass, 0 to 1
    double flicker_hz = 0.0;    // the ambient light's flicker (twice the mains frequency); 0: none
    double flicker_depth = 0.0;  // 0 to 1
    double exposure_ms = 5.0;   // 5 ms is nominal: the light scales with it
    double gain = 1.0;
    double read_noise = 1.0;    // grey levels at gain 1
    double shot_noise = 0.02;   // variance per grey level of signal, at gain 1
    double fixed_offset = 0.0;  // pixel-to-pixel offsets, grey levels (standard deviation)
    double fixed_gain = 0.0;    // pixel-to-pixel sensitivity, fraction (standard deviation)
    double vignetting = 0.12;   // light lost at the corners, fraction
    double latent = 0.0;        // darkening of a latent print's ridges right after the lift, 0 to 1
    double latent_fade_s = 4.0;  // time for a latent print to fade to 1/e
    double shadow = 0.0;        // ambient light a hand's shadow takes away, 0 to 1
};

struct Scene {
    std::optional<std::uint32_t> identity;  // the scenario's seed when absent
    std::optional<FingerClass> finger_class;
    Skin skin = Skin::normal;
    Environment environment;
    std::vector<TouchPlan> touches;
    std::string image;           // a real finger image instead of a grown finger
};

// The world's keywords (see docs/vsensor.md). `words` holds the keyword and its arguments, `rest`
// the line after the keyword (a path may hold spaces). Returns "" when applied, else the problem.
bool is_world_keyword(const std::string& keyword);
std::string apply_world_line(const std::vector<std::string>& words, const std::string& rest, Scene& scene);

// ---------------------------------------------------------------- frames

// Where a frame lies in the timeline, as far as the world needs it.
struct Moment {
    bool touching = false;          // in a touch step (else empty glass)
    std::size_t touch_plan = 0;     // which touch line
    std::uint64_t step_frame = 0;   // frame within the step
    std::uint32_t touch_number = 0;  // from 1 over the whole timeline
    // The touch before, whose latent print may lie on the glass.
    bool after_touch = false;
    std::size_t last_plan = 0;
    std::uint32_t last_number = 0;
    std::uint64_t frames_since = 0;  // since its last frame
};

class World {
public:
    // `rate`: frames per second of the timeline (the nominal 30 when frames come as fast as
    // they are taken); `model`: the sensor model whose correction a real image goes through.
    World(std::shared_ptr<const Scene> scene, std::uint32_t seed, double rate, std::string model);
    ~World();
    World(const World&) = delete;
    World& operator=(const World&) = delete;

    // Frames a touch line lasts.
    std::uint64_t touch_frames(std::size_t touch_plan) const;
    // Writes frame n (UYVY, 640 x 480) and returns its truth.
    recording::Truth render(std::uint64_t n, const Moment& moment, unsigned char* out) const;
    // The truth of frame n alone, for a fraction of a frame's cost.
    recording::Truth truth(std::uint64_t n, const Moment& moment) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vsensor::world
