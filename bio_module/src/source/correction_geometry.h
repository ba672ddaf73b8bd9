// Where the corrected image's pixels come from in the frame, for each sensor model: the geometry
// that the correction tables sample, and that anything inverting the correction (the virtual
// sensor placing a real finger image on its glass) must follow.
#pragma once

#include <string>

struct remap_constants {
    double r0, a, b, c0, c1, cx, den;
};
extern const remap_constants gc0307_constants;
extern const remap_constants gc0328_constants;

// The GC032A's image: output positions (perspective_first_x + column, perspective_first_y + row).
constexpr int perspective_first_x = 190;
constexpr int perspective_first_y = 72;

// Frame position (x, y) that the GC0307's or GC0328's image takes its pixel (row i, column j) from.
void remap_source(const remap_constants& k, double i, double j, double& x, double& y);

// Source position (u, v) of output position (x, y) under the GC032A's projective mapping.
void perspective_source(double x, double y, double& u, double& v);

// The corrected image of `model` ("GC0307", "GC0328" or "GC032A"): false for another model. Its
// size, and the frame position of its pixel (row, column); row and column may be fractional and lie
// outside the image, where the mapping goes on smoothly.
bool correction_size(const std::string& model, int& width, int& height);
bool correction_source(const std::string& model, double row, double column, double& x, double& y);
