#pragma once
// hypot of our own: the C library's is not the same function everywhere
// (glibc 2.35 replaced its algorithm), and a landing error or a tolerance
// computed from it must come out the same bits on every system.
#include <cmath>
#include <limits>
#include <utility>

namespace vexal {

namespace detail {

// a * a as hi + lo exactly (Dekker's product; no fused multiply-add).
inline void exact_square(double a, double& hi, double& lo) noexcept {
    constexpr double kSplit = 134217729.0;  // 2^27 + 1
    const double c = kSplit * a;
    const double ah = c - (c - a);
    const double al = a - ah;
    hi = a * a;
    lo = ((ah * ah - hi) + 2.0 * ah * al) + al * al;
}

}  // namespace detail

// sqrt(x^2 + y^2) without overflow or underflow on the way, correctly
// rounded but for cases within 2^-100 of a rounding boundary: the sum of
// squares is formed as a double-double and its square root corrected once.
// An infinite argument gives infinity, even beside a NaN, as C's hypot.
inline double hypot(double x, double y) noexcept {
    double a = std::fabs(x), b = std::fabs(y);
    if (std::isinf(a) || std::isinf(b)) return std::numeric_limits<double>::infinity();
    if (std::isnan(a) || std::isnan(b)) return a + b;
    if (a < b) std::swap(a, b);
    // b/a below 2^-30 leaves sqrt(1 + (b/a)^2) within a quarter ulp of 1.
    if (b == 0.0 || b < a * 0x1p-30) return a;
    // Exact powers of two bring both into a range where the squares are
    // normal numbers; b is at least a * 2^-30, so neither leaves it.
    double scale = 1.0;
    if (a > 0x1p+500) {
        scale = 0x1p+600;
        a *= 0x1p-600;
        b *= 0x1p-600;
    } else if (b < 0x1p-500) {
        scale = 0x1p-600;
        a *= 0x1p+600;
        b *= 0x1p+600;
    }
    double a2, a2lo, b2, b2lo;
    detail::exact_square(a, a2, a2lo);
    detail::exact_square(b, b2, b2lo);
    const double sum = a2 + b2;  // a2 >= b2: the sum's error is exact below
    const double lo = ((a2 - sum) + b2) + a2lo + b2lo;
    double r = std::sqrt(sum);
    double r2, r2lo;
    detail::exact_square(r, r2, r2lo);
    r += (((sum - r2) - r2lo) + lo) / (2.0 * r);
    return r * scale;
}

}  // namespace vexal
