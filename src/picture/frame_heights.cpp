// SPDX-License-Identifier: GPL-3.0-or-later
// The heights of a wave at every column: the frame's dearest arithmetic, a sine per vertex. Where
// the processor has AVX2 and FMA (chosen at run time, so the program still runs on any x86-64),
// four columns go at a time through a sine of our own; elsewhere each takes std::sin.
#include "frame.h"

#include <immintrin.h>

void wave_heights_plain(const double *phase, int count, int i, double amplitude, float *y) {
    for (int k = 0; k < count; ++k)
        y[k] = wave_height(phase[k], i, amplitude);
}

// sin(a) for the arguments a = phase * i of a wave, 0 <= a < 2 * 1101 * pi:
// - a = q * pi + r with q the nearest whole number to a / pi and |r| <= pi / 2 (a hair more when
//   a / pi rounds the other way). pi is held in two parts: with FMA, q * pi_hi is exact before it
//   is subtracted, and q * pi_lo carries the rest of pi to 2^-105 of it. So r is within about one
//   double step of the true remainder for every q this range has (below 2^12).
// - sin(a) = (-1)^q sin(r), and sin(r) is its Taylor polynomial to degree 21, whose first missing
//   term is below 1.3e-18 on [-pi/2, pi/2]: far below a double step of sin, 1.1e-16 near 1.
// - The height is then sin * (amplitude / pi) + 0.5 in one rounding, and rounded once to float.
// Against wave_height, which rounds sin, the product, the quotient and the sum each on its own,
// the double before the float conversion differs by a few double steps at most, 2^-29 of a float
// step. The float therefore differs only where that double lies within a few double steps of the
// midpoint between two floats, and then by one float step (none in 2.1 million vertices of a
// 1920 x 1080 frame of noise; the unit tests measure it).
// Why one float step cannot change the picture: a float step at y = 0.5 is 2^-24 of the window's
// height, 1.3e-4 pixel at 2160 rows, while the rasteriser snaps every vertex to a grid of 1/256
// pixel (GL_SUBPIXEL_BITS 8, llvmpipe and the usual GPUs), 30 times coarser. Both values round to
// the same grid point unless they straddle a rounding boundary of the grid, about one chance in
// 30 for each of the vertices that differ at all; the pixel checks compare whole frames.
__attribute__((target("avx2,fma"))) void wave_heights_wide(const double *phase, int count, int i,
                                                           double amplitude, float *y) {
    constexpr double pi = std::numbers::pi;
    const __m256d bin = _mm256_set1_pd(i);
    const __m256d inv_pi = _mm256_set1_pd(1 / pi);
    const __m256d round = _mm256_set1_pd(0x1.8p52); // adding it rounds to a whole number
    const __m256d pi_hi = _mm256_set1_pd(pi);
    const __m256d pi_lo = _mm256_set1_pd(1.2246467991473532e-16); // pi - pi_hi
    const __m256d scale = _mm256_set1_pd(amplitude / pi);
    const __m256d half = _mm256_set1_pd(0.5);
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
    for (int k = 0; k < count; k += 4) {
        const __m256d a = _mm256_mul_pd(_mm256_loadu_pd(phase + k), bin);
        const __m256d t = _mm256_fmadd_pd(a, inv_pi, round);
        const __m256d q = _mm256_sub_pd(t, round);
        __m256d r = _mm256_fnmadd_pd(q, pi_hi, a);
        r = _mm256_fnmadd_pd(q, pi_lo, r);
        const __m256d z = _mm256_mul_pd(r, r);
        __m256d p = _mm256_set1_pd(taylor[9]);
        for (int n = 8; n >= 0; --n)
            p = _mm256_fmadd_pd(p, z, _mm256_set1_pd(taylor[n]));
        __m256d s = _mm256_fmadd_pd(_mm256_mul_pd(r, z), p, r);
        // q's lowest bit is the lowest bit of t's significand: moved to the sign, it flips sin(r)
        const __m256d odd = _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_castpd_si256(t), 63));
        s = _mm256_xor_pd(s, odd);
        _mm_storeu_ps(y + k, _mm256_cvtpd_ps(_mm256_fmadd_pd(s, scale, half)));
    }
}

bool wave_heights_have_wide() {
    static const bool have = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
    return have;
}

static heights_fn chosen;

void wave_heights_use(heights_fn way) { chosen = way; }

void wave_heights(const double *phase, int count, int i, double amplitude, float *y) {
    if (!chosen)
        chosen = wave_heights_have_wide() ? wave_heights_wide : wave_heights_plain;
    chosen(phase, count, i, amplitude, y);
}
