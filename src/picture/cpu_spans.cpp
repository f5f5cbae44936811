// SPDX-License-Identifier: GPL-3.0-or-later
// Compiled once for each vector unit Highway targets; the plain twins and the dispatch are below,
// in the part compiled once (HWY_ONCE).
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "cpu_spans.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "cpu_spans.h"

#include <algorithm>
#include <cmath>
#include <cstring>

HWY_BEFORE_NAMESPACE();
namespace lumora_cpu {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

// A colour in [0, 1] to 8 bits: c * 255 clamped, then rounded half to even by adding 2^23, where
// a float's steps are whole numbers. The sum's low 16 bits are the 8-bit value; its high 16 bits,
// 0x4b00, are left for the caller to drop where it puts the halves together. NaN clamps to 0.
// Without kClamp, for values known to lie in [-0.5, 255.5) once scaled, which the sum rounds as
// the clamp would.
template <bool kClamp, class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> to8(DF df, hn::Vec<DF> v) {
    const hn::RebindToUnsigned<DF> du;
    const auto scale = hn::Set(df, 255.0f);
    auto c = hn::Mul(v, scale);
    if (kClamp)
        c = hn::Min(hn::Max(c, hn::Zero(df)), scale);
    return hn::BitCast(du, hn::Add(c, hn::Set(df, 8388608.0f)));
}

// Channel c of the planes along a row, in 8 bits (see to8).
template <bool kClamp, class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> channel(DF df, const cpu_planes &p, int c,
                                                     hn::Vec<DF> px, hn::Vec<DF> y) {
    const auto inner = hn::MulAdd(hn::Set(df, p.dadx[c]), px, hn::Set(df, p.a0[c]));
    return to8<kClamp>(df, hn::MulAdd(hn::Set(df, p.dady[c]), y, inner));
}

// Two 8-bit values from to8 in the two 16-bit halves of each lane: low in the low half, high in
// the high half (shifting it up drops its 0x4b00).
template <class D16, class VU> HWY_INLINE hn::Vec<D16> halves(D16 d16, VU high, VU low) {
    return hn::OddEven(hn::BitCast(d16, hn::ShiftLeft<16>(high)), hn::BitCast(d16, low));
}

// x * y / 255 as the blender rounds it, for 8-bit x and y in 16-bit lanes:
// (t + (t >> 8) + 128) >> 8 with t = x * y, which is (257 t + 2^15) >> 16 (t + (t >> 8) is
// 257 t / 256 rounded down, and a quotient of a quotient rounded down is the whole quotient
// rounded down), and so ((514 t >> 16) + 1) >> 1: a high-half multiply and an average.
template <class D16> HWY_INLINE hn::Vec<D16> mul8(D16 d16, hn::Vec<D16> x, hn::Vec<D16> y) {
    return hn::AverageRound(hn::MulHigh(hn::Mul(x, y), hn::Set(d16, 514)), hn::Zero(d16));
}

// Two channels of each pixel blended at once, one in each 16-bit half of its 32-bit lane: the
// source s over the picture's d with opacity a (rest: 255 - a) in both halves.
template <class D16>
HWY_INLINE hn::Vec<D16> blend2(D16 d16, hn::Vec<D16> s, hn::Vec<D16> d, hn::Vec<D16> a,
                               hn::Vec<D16> rest) {
    return hn::Min(hn::Add(mul8(d16, s, a), mul8(d16, d, rest)), hn::Set(d16, 255));
}

// N pixels at a time, N the lanes of a float vector, a pixel to a 32-bit lane: the colours in
// single precision, then blue and red in one vector of 16-bit halves and green in another, taken
// apart and put back with masks and shifts alone (no shuffles, which have one port of their own).
// x86's AVX2 and AVX-512 load and store chosen lanes and leave the others alone; elsewhere the
// last few pixels of a span go through a copy
#undef LUMORA_MASKED
#define LUMORA_MASKED (HWY_ARCH_X86 && HWY_TARGET <= HWY_AVX2)

#if HWY_TARGET != HWY_SCALAR // one lane has no halves: the plain way, in Span

template <bool kClamp>
HWY_INLINE void SpanOf(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes) {
    const hn::ScalableTag<float> df;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::Repartition<uint16_t, decltype(du)> d16;
    using VF = hn::Vec<decltype(df)>;
    using VU = hn::Vec<decltype(du)>;
    const int n = static_cast<int>(hn::Lanes(df));
    const VF y = hn::Set(df, py);
    const VF step = hn::Set(df, static_cast<float>(n));
    // the columns, whole numbers and so exact in single precision as they are stepped on
    VF px = hn::Add(hn::Iota(df, 0.0f), hn::Set(df, static_cast<float>(lo)));
    const VU pairs = hn::Set(du, 0x00ff00ffu), colour = hn::Set(du, 0x00ffffffu);
    uint32_t *pixels = reinterpret_cast<uint32_t *>(row);
#if !LUMORA_MASKED
    HWY_ALIGN uint32_t spare[HWY_MAX_BYTES / sizeof(float)];
#endif
    for (int x = lo; x <= hi; x += n, px = hn::Add(px, step)) {
        const int count = std::min(n, hi - x + 1);
        uint32_t *p = pixels + x;
        // the last few: nothing past hi may be read or written, which may be another band's row
#if LUMORA_MASKED
        const bool masked = count < n;
        const auto in_span = hn::FirstN(du, static_cast<size_t>(count));
#else // through a copy
        if (count < n) {
            std::memcpy(spare, p, 4 * static_cast<size_t>(count));
            p = spare;
        }
#endif
        // (no arrays of vectors: SVE's have no size the compiler knows)
        const VU red = channel<kClamp>(df, planes, 0, px, y);
        const VU green = channel<kClamp>(df, planes, 1, px, y);
        const VU blue = channel<kClamp>(df, planes, 2, px, y);
        const VU alpha = channel<kClamp>(df, planes, 3, px, y);
        // the picture is blue, green, red from the lowest byte; green's high half is blended
        // along with it, and dropped
#if LUMORA_MASKED
        const VU d = masked ? hn::MaskedLoad(in_span, du, p) : hn::LoadU(du, p);
#else
        const VU d = hn::LoadU(du, p);
#endif
        const auto a2 = halves(d16, alpha, alpha);
        const auto rest2 = hn::Sub(hn::BitCast(d16, pairs), a2);
        const VU blue_red = hn::BitCast(du, blend2(d16, halves(d16, red, blue),
                                                   hn::BitCast(d16, hn::And(d, pairs)), a2, rest2));
        const VU green_x = hn::BitCast(
            du, blend2(d16, hn::BitCast(d16, green),
                       hn::BitCast(d16, hn::And(hn::ShiftRight<8>(d), pairs)), a2, rest2));
        const VU out = hn::And(hn::Or(blue_red, hn::ShiftLeft<8>(green_x)), colour);
#if LUMORA_MASKED
        if (masked)
            hn::BlendedStore(out, in_span, du, p);
        else
            hn::StoreU(out, du, p);
#else
        hn::StoreU(out, du, p);
        if (p == spare)
            std::memcpy(pixels + x, spare, 4 * static_cast<size_t>(count));
#endif
    }
}

#endif

void Span(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes) {
#if HWY_TARGET == HWY_SCALAR // one lane: no halves to blend in, so the plain way
    cpu_span_plain(row, lo, hi, py, planes, HWY_NATIVE_FMA);
#else
    // The clamp changes nothing where every channel, scaled, lies in [-0.5, 255.5) all along the
    // span: the colour is a plane, so along a row its extremes are at the two ends, give or take
    // a few units in the last place, well inside the margin of a quarter of a step taken here.
    // Worth finding out for a span of more than two vectors.
    const hn::FixedTag<float, 4> d4; // r, g, b, a
    const int n = static_cast<int>(hn::Lanes(hn::ScalableTag<float>()));
    bool inside = hi - lo + 1 > 2 * n;
    if (inside) {
        const auto dadx = hn::LoadU(d4, planes.dadx), dady = hn::LoadU(d4, planes.dady);
        const auto a0 = hn::LoadU(d4, planes.a0), y = hn::Set(d4, py), scale = hn::Set(d4, 255.0f);
        const auto at = [&](int x) { // the four channels at column x, scaled
            const auto inner = hn::MulAdd(dadx, hn::Set(d4, static_cast<float>(x)), a0);
            return hn::Mul(scale, hn::MulAdd(dady, y, inner));
        };
        const auto at_lo = at(lo), at_hi = at(hi);
        const auto low = hn::Set(d4, -0.25f), high = hn::Set(d4, 255.25f);
        inside = hn::AllTrue(d4, hn::And(hn::And(hn::Ge(at_lo, low), hn::Le(at_lo, high)),
                                         hn::And(hn::Ge(at_hi, low), hn::Le(at_hi, high))));
    }
    if (inside)
        SpanOf<false>(row, lo, hi, py, planes);
    else
        SpanOf<true>(row, lo, hi, py, planes);
#endif
}

void Vertices(const float *x, const float *y, int count, int w, int h, float *wx, float *wy,
              int32_t *fx, int32_t *fy) {
    const hn::ScalableTag<float> df;
    const hn::RebindToSigned<decltype(df)> di;
    const int n = static_cast<int>(hn::Lanes(df));
    const auto hw = hn::Set(df, w * 0.5f), hh = hn::Set(df, h * 0.5f), nhh = hn::Neg(hh);
    const auto one = hn::Set(df, 1.0f), half = hn::Set(df, 0.5f), grid = hn::Set(df, 256.0f);
    int k = 0;
    for (; k + n <= count; k += n) {
        const auto X =
            hn::MulAdd(hn::Sub(hn::Add(hn::LoadU(df, x + k), hn::LoadU(df, x + k)), one), hw, hw);
        const auto Y =
            hn::MulAdd(hn::Sub(hn::Add(hn::LoadU(df, y + k), hn::LoadU(df, y + k)), one), nhh, hh);
        hn::StoreU(X, df, wx + k);
        hn::StoreU(Y, df, wy + k);
        hn::StoreU(hn::NearestInt(hn::Mul(hn::Sub(X, half), grid)), di, fx + k);
        hn::StoreU(hn::NearestInt(hn::Mul(hn::Sub(Y, half), grid)), di, fy + k);
    }
    if (k < count)
        cpu_vertices_plain(x + k, y + k, count - k, w, h, wx + k, wy + k, fx + k, fy + k,
                           HWY_NATIVE_FMA);
}

bool Fused() { return HWY_NATIVE_FMA; }
int64_t Target() { return HWY_TARGET; }

} // namespace HWY_NAMESPACE
} // namespace lumora_cpu
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumora_cpu {
HWY_EXPORT(Span);
HWY_EXPORT(Vertices);
HWY_EXPORT(Fused);
HWY_EXPORT(Target);
} // namespace lumora_cpu

cpu_span_fn cpu_span_best() { return HWY_DYNAMIC_DISPATCH(lumora_cpu::Span); }
cpu_vertices_fn cpu_vertices_best() { return HWY_DYNAMIC_DISPATCH(lumora_cpu::Vertices); }
bool cpu_target_fuses() { return HWY_DYNAMIC_DISPATCH(lumora_cpu::Fused)(); }
int64_t cpu_target_best() { return HWY_DYNAMIC_DISPATCH(lumora_cpu::Target)(); }

static float madd(float a, float b, float c, bool fused) {
    return fused ? std::fma(a, b, c) : a * b + c;
}

static uint32_t mul8(uint32_t x, uint32_t y) {
    const uint32_t t = x * y;
    return (t + (t >> 8) + 128) >> 8;
}

void cpu_span_plain(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes, bool fused) {
    for (int x = lo; x <= hi; ++x) {
        uint32_t c8[4];
        for (int c = 0; c < 4; ++c) {
            const float v =
                madd(planes.dady[c], py,
                     madd(planes.dadx[c], static_cast<float>(x), planes.a0[c], fused), fused);
            // as the vector units take them: NaN turns into the lower bound, then 0 to 1
            const float clamped = std::fmin(std::fmax(v, 0.0f), 1.0f);
            c8[c] = static_cast<uint32_t>(std::nearbyint(clamped * 255.0f));
        }
        uint8_t *p = row + 4 * x;
        for (int c = 0; c < 3; ++c) {
            const uint32_t sum = mul8(c8[c], c8[3]) + mul8(p[2 - c], 255 - c8[3]);
            p[2 - c] = static_cast<uint8_t>(sum < 255 ? sum : 255);
        }
        p[3] = 0;
    }
}

void cpu_vertices_plain(const float *x, const float *y, int count, int w, int h, float *wx,
                        float *wy, int32_t *fx, int32_t *fy, bool fused) {
    const float hw = w * 0.5f, hh = h * 0.5f;
    for (int k = 0; k < count; ++k) {
        wx[k] = madd(x[k] + x[k] - 1.0f, hw, hw, fused);
        wy[k] = madd(y[k] + y[k] - 1.0f, -hh, hh, fused);
        fx[k] = static_cast<int32_t>(std::nearbyint((wx[k] - 0.5f) * 256.0f));
        fy[k] = static_cast<int32_t>(std::nearbyint((wy[k] - 0.5f) * 256.0f));
    }
}

int cpu_targets(int64_t *targets, int most) {
    int n = 0;
    for (int64_t t : hwy::SupportedAndGeneratedTargets())
        if (n < most)
            targets[n++] = t;
    return n;
}

// Highway's names, but AVX3 (and its kinds) by the name processors are sold with: AVX-512
const char *cpu_target_name(int64_t target) {
    switch (target) {
    case HWY_AVX3:
        return "AVX-512";
    case HWY_AVX3_DL:
        return "AVX-512 DL";
#ifdef HWY_AVX3_ZEN4
    case HWY_AVX3_ZEN4:
        return "AVX-512 Zen 4";
#endif
    default:
        return hwy::TargetName(target);
    }
}

void cpu_target_choose(int64_t target) {
    if (target < 0)
        hwy::SetSupportedTargetsForTest(0);
    else
        hwy::SetSupportedTargetsForTest(target);
}
#endif
