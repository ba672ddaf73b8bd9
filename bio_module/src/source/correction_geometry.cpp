// The sensor models' correction geometry (correction_geometry.h).
#include "correction_geometry.h"

const remap_constants gc0307_constants = {100,         0.5577586448, 0.0013834226,     117.66468083999999,
                                          1.556425532, 325.0,        960.1621621621622};
const remap_constants gc0328_constants = {150, 0.35, 0.00118, 153.6, 1.28, 320.0, 760.0};

// The remap's rows are distorted vertically by a quadratic and pulled towards the centre column in
// proportion to that distortion.
void remap_source(const remap_constants& k, double i, double j, double& x, double& y) {
    const double r = k.r0 + i;
    const double d = (r * k.a) + ((r * k.b) * r);
    const double xs = k.c0 + (j * k.c1);
    x = (((xs - k.cx) * d) / k.den) + xs;
    y = d;
}

void perspective_source(double x, double y, double& u, double& v) {
    constexpr double h00 = -1.608040201005025;
    constexpr double h01 = -0.25037468041964206;
    constexpr double h02 = 841.3329806929383;
    constexpr double h11 = 0.6770695583179054;
    constexpr double h12 = -18.280878074583445;
    constexpr double h21 = -0.0007824208763113816;
    constexpr double h22 = 1.0211253636604074;
    const double w = (y * h21) + h22;
    u = (((y * h01) + (x * h00)) + h02) / w;
    v = ((y * h11) + h12) / w;
}

bool correction_size(const std::string& model, int& width, int& height) {
    width = 260;
    height = model == "GC032A" ? 350 : 320;
    return model == "GC032A" || model == "GC0307" || model == "GC0328";
}

bool correction_source(const std::string& model, double row, double column, double& x, double& y) {
    if (model == "GC032A") {
        perspective_source(perspective_first_x + column, perspective_first_y + row, x, y);
        return true;
    }
    if (model == "GC0307" || model == "GC0328") {
        remap_source(model == "GC0307" ? gc0307_constants : gc0328_constants, row, column, x, y);
        return true;
    }
    return false;
}
