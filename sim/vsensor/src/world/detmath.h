// Sine, cosine, exponential and arctangent that give the same bits on every target: built from
// IEEE additions, multiplications, divisions and square roots only (all correctly rounded), where
// the C library's versions may differ in the last bit between x86-64 and 32-bit ARM. The world's
// pictures are deterministic per seed on both because of these. Compile with -ffp-contract=off.
#pragma once

#include <cmath>

namespace vsensor::world {

constexpr double pi = 3.14159265358979323846;

namespace detail {

// Polynomials of the reduced argument r, |r| <= pi/4 (Taylor terms to r^15: error below 1e-15).
inline double sin_poly(double r) {
    const double r2 = r * r;
    double sum = -1.0 / 1307674368000.0;
    sum = sum * r2 + 1.0 / 6227020800.0;
    sum = sum * r2 - 1.0 / 39916800.0;
    sum = sum * r2 + 1.0 / 362880.0;
    sum = sum * r2 - 1.0 / 5040.0;
    sum = sum * r2 + 1.0 / 120.0;
    sum = sum * r2 - 1.0 / 6.0;
    return r + r * r2 * sum;
}

inline double cos_poly(double r) {
    const double r2 = r * r;
    double sum = 1.0 / 20922789888000.0;
    sum = sum * r2 - 1.0 / 87178291200.0;
    sum = sum * r2 + 1.0 / 479001600.0;
    sum = sum * r2 - 1.0 / 3628800.0;
    sum = sum * r2 + 1.0 / 40320.0;
    sum = sum * r2 - 1.0 / 720.0;
    sum = sum * r2 + 1.0 / 24.0;
    sum = sum * r2 - 0.5;
    return 1.0 + r2 * sum;
}

// sin(x + quarter * pi/2) from the reduced argument.
inline double quadrant(double r, long quarter) {
    switch (quarter & 3) {
        case 0:
            return sin_poly(r);
        case 1:
            return cos_poly(r);
        case 2:
            return -sin_poly(r);
        default:
            return -cos_poly(r);
    }
}

}  // namespace detail

// sin(x) for |x| up to about 1e6 (the reduction keeps some 1e-10 there; plenty for pictures).
inline double det_sin(double x) {
    constexpr double half_pi_hi = 1.5707963267341256;  // pi/2 split in two, the first part exact
    constexpr double half_pi_lo = 6.077100506506192e-11;
    const double k = std::floor(x * (2.0 / pi) + 0.5);
    const double r = (x - k * half_pi_hi) - k * half_pi_lo;
    return detail::quadrant(r, static_cast<long>(k));
}

inline double det_cos(double x) {
    return det_sin(x + pi / 2.0);
}

// e^x for x in [-700, 700].
inline double det_exp(double x) {
    constexpr double ln2_hi = 0.6931471803691238;
    constexpr double ln2_lo = 1.9082149292705877e-10;
    const double k = std::floor(x * 1.4426950408889634 + 0.5);
    const double r = (x - k * ln2_hi) - k * ln2_lo;  // |r| <= 0.35
    double sum = 1.0 / 6227020800.0;
    for (const double c : {1.0 / 479001600.0, 1.0 / 39916800.0, 1.0 / 3628800.0, 1.0 / 362880.0, 1.0 / 40320.0,
                           1.0 / 5040.0, 1.0 / 720.0, 1.0 / 120.0, 1.0 / 24.0, 1.0 / 6.0, 0.5, 1.0, 1.0}) {
        sum = sum * r + c;
    }
    return std::ldexp(sum, static_cast<int>(k));
}

// atan(t): two argument halvings bring |t| under tan(pi/16), where the series converges fast.
inline double det_atan(double t) {
    const bool reciprocal = std::fabs(t) > 1.0;
    double u = reciprocal ? 1.0 / t : t;
    for (int i = 0; i < 2; ++i) {
        u = u / (1.0 + std::sqrt(1.0 + u * u));
    }
    const double u2 = u * u;
    double sum = 0.0;
    for (int n = 25; n >= 1; n -= 2) {
        sum = sum * u2 + ((n / 2) % 2 == 0 ? 1.0 : -1.0) / n;
    }
    const double a = 4.0 * u * sum;
    if (!reciprocal) {
        return a;
    }
    return (t > 0.0 ? pi / 2.0 : -pi / 2.0) - a;
}

// atan2(y, x) in (-pi, pi].
inline double det_atan2(double y, double x) {
    if (x == 0.0) {
        return y > 0.0 ? pi / 2.0 : (y < 0.0 ? -pi / 2.0 : 0.0);
    }
    const double a = det_atan(y / x);
    if (x > 0.0) {
        return a;
    }
    return y >= 0.0 ? a + pi : a - pi;
}

}  // namespace vsensor::world
