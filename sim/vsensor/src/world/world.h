// The virtual sensor's world: a finger grown from its identity. Deterministic per seed, with the
// same bits on every target.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

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
    std::vector<std::uint8_t> ridge;
    std::vector<std::uint8_t> dry;
    std::vector<std::uint8_t> wet;
};

// The finger of an identity: the same identity always grows the same ridges. The class follows
// from the identity unless one is given. Costs some tens of milliseconds: grow it once.
std::shared_ptr<const Finger> grow_finger(std::uint32_t identity, std::optional<FingerClass> finger_class);

}  // namespace vsensor::world
