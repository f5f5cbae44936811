// SPDX-License-Identifier: GPL-3.0-or-later
// The heights of a wave at every column: the frame's dearest arithmetic, a sine per vertex. Written
// once with Highway and compiled for every vector unit (SSE4, AVX2, AVX-512, NEON, ...), chosen at
// run time; the plain way takes std::sin for each.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "frame_heights.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "frame.h"

// sin(a) for the arguments a = phase * i of a wave, 0 <= a < 2 * 1101 * pi:
// - a = q * pi + r with q the nearest whole number to a / pi and |r| <= pi / 2 (a hair more when
//   a / pi rounds the other way). pi is held in three parts, the first two of 41 significant
//   bits: q < 2^12, so q times each is exact with or without a fused multiply-add, and so is each
//   subtraction but the last, which carries the rest of pi to 2^-134 of it. So r is within about
//   one double step of the true remainder, on every vector unit alike.
// - sin(a) = (-1)^q sin(r), and sin(r) is its Taylor polynomial to degree 21, whose first missing
//   term is below 1.3e-18 on [-pi/2, pi/2]: far below a double step of sin, 1.1e-16 near 1.
// - The height is then sin * (amplitude / pi) + 0.5, and rounded once to float.
// Against wave_height, which rounds sin, the product, the quotient and the sum each on its own,
// the double before the float conversion differs by a few double steps at most, 2^-29 of a float
// step. The float therefore differs only where that double lies within a few double steps of the
// midpoint between two floats, and then by one float step (none in 2.1 million vertices of a
// 1920 x 1080 frame of noise; the unit tests measure it on every vector unit).
// Why one float step cannot change the picture: a float step at y = 0.5 is 2^-24 of the window's
// height, 1.3e-4 pixel at 2160 rows, while the rasteriser snaps every vertex to a grid of 1/256
// pixel (GL_SUBPIXEL_BITS 8, llvmpipe, the usual GPUs and the processor's painter), 30 times
// coarser. Both values round to the same grid point unless they straddle a rounding boundary of
// the grid, about one chance in 30 for each of the vertices that differ at all; the pixel checks
// compare whole frames.
HWY_BEFORE_NAMESPACE();
namespace lumora_heights {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Heights(const double *phase, int count, int i, double amplitude, float *y) {
    const hn::ScalableTag<double> dd;
    const hn::Rebind<float, decltype(dd)> df;
    const hn::RebindToUnsigned<decltype(dd)> du;
    using V = hn::Vec<decltype(dd)>;
    const V bin = hn::Set(dd, i);
    const V inv_pi = hn::Set(dd, 1 / std::numbers::pi);
    const V round = hn::Set(dd, 0x1.8p52); // adding it rounds to a whole number
    const V pi1 = hn::Set(dd, 0x1.921fb54442000p+1), pi2 = hn::Set(dd, 0x1.a308d31319000p-40);
    const V pi3 = hn::Set(dd, 0x1.145c06e0e6895p-81);
    const V scale = hn::Set(dd, amplitude / std::numbers::pi);
    const V half = hn::Set(dd, 0.5);
    // (-1)^n / (2n + 1)! for n = 1 to 10
    static constexpr double taylor[] = {-1.0 / 6,
                                        1.0 / 120,
                                        -1.0 / 5040,
                                        1.0 / 362880,
                                        -1.0 / 39916800,
                                        1.0 / 6227020800.0,
                                        -1.0 / 1307674368000.0,
                                        1.0 / 355687428096000.0,
                                        -1.0 / 121645100408832000.0,
                                        1.0 / 51090942171709440000.0};
    const int n = static_cast<int>(hn::Lanes(dd));
    for (int k = 0; k < count; k += n) {
        const auto in = hn::FirstN(dd, static_cast<size_t>(count - k));
        const V a = hn::Mul(hn::MaskedLoad(in, dd, phase + k), bin);
        const V t = hn::MulAdd(a, inv_pi, round);
        const V q = hn::Sub(t, round);
        V r = hn::NegMulAdd(q, pi1, a);
        r = hn::NegMulAdd(q, pi2, r);
        r = hn::NegMulAdd(q, pi3, r);
        const V z = hn::Mul(r, r);
        V p = hn::Set(dd, taylor[9]);
        for (int m = 8; m >= 0; --m)
            p = hn::MulAdd(p, z, hn::Set(dd, taylor[m]));
        V s = hn::MulAdd(hn::Mul(r, z), p, r);
        // q's lowest bit is the lowest bit of t's significand: moved to the sign, it flips sin(r)
        s = hn::Xor(s, hn::BitCast(dd, hn::ShiftLeft<63>(hn::BitCast(du, t))));
        const auto h = hn::DemoteTo(df, hn::MulAdd(s, scale, half));
        hn::BlendedStore(h, hn::FirstN(df, static_cast<size_t>(count - k)), df, y + k);
    }
}

} // namespace HWY_NAMESPACE
} // namespace lumora_heights
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumora_heights {
HWY_EXPORT(Heights);
} // namespace lumora_heights

void wave_heights_plain(const double *phase, int count, int i, double amplitude, float *y) {
    for (int k = 0; k < count; ++k)
        y[k] = wave_height(phase[k], i, amplitude);
}

void wave_heights_wide(const double *phase, int count, int i, double amplitude, float *y) {
    HWY_DYNAMIC_DISPATCH(lumora_heights::Heights)(phase, count, i, amplitude, y);
}

static heights_fn chosen = wave_heights_wide;

void wave_heights_use(heights_fn way) { chosen = way ? way : wave_heights_wide; }

void wave_heights(const double *phase, int count, int i, double amplitude, float *y) {
    chosen(phase, count, i, amplitude, y);
}
#endif
