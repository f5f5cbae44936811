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

// x * y / 255 as the blender rounds it, for 8-bit x and y in 16-bit lanes: nothing overflows,
// 255 * 255 + 254 + 128 < 2^16
template <class D, class V> HWY_INLINE V mul8(D d, V x, V y) {
    const V t = hn::Mul(x, y);
    return hn::ShiftRight<8>(hn::Add(hn::Add(t, hn::ShiftRight<8>(t)), hn::Set(d, 128)));
}

// A colour in [0, 1] to 8 bits: c * 255 clamped, then rounded half to even by adding 2^23, where
// a float's steps are whole numbers, and taking the sum's low bits. NaN clamps to 0.
template <class DF> HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> to8(DF df, hn::Vec<DF> v) {
    const hn::RebindToUnsigned<DF> du;
    const auto scale = hn::Set(df, 255.0f);
    const auto c = hn::Min(hn::Max(hn::Mul(v, scale), hn::Zero(df)), scale);
    return hn::Sub(hn::BitCast(du, hn::Add(c, hn::Set(df, 8388608.0f))), hn::Set(du, 0x4b000000u));
}

// Channel c of the planes along a row, in 8 bits.
template <class DF>
HWY_INLINE hn::Vec<hn::RebindToUnsigned<DF>> channel(DF df, const cpu_planes &p, int c,
                                                     hn::Vec<DF> px, hn::Vec<DF> y) {
    const auto inner = hn::MulAdd(hn::Set(df, p.dadx[c]), px, hn::Set(df, p.a0[c]));
    return to8(df, hn::MulAdd(hn::Set(df, p.dady[c]), y, inner));
}

// Two channels of each pixel blended at once, one in each 16-bit half of its 32-bit lane: the
// source s over the picture's d with opacity a (rest: 255 - a) in both halves. x * y / 255 as the
// blender rounds it is (t + (t >> 8) + 128) >> 8 with t = x * y, and nothing overflows 16 bits:
// 255 * 255 + 254 + 128 < 2^16.
template <class D16>
HWY_INLINE hn::Vec<D16> blend2(D16 d16, hn::Vec<D16> s, hn::Vec<D16> d, hn::Vec<D16> a,
                               hn::Vec<D16> rest) {
    const auto half = hn::Set(d16, 128), full = hn::Set(d16, 255);
    const auto t = hn::Mul(s, a), u = hn::Mul(d, rest);
    const auto ms = hn::ShiftRight<8>(hn::Add(hn::Add(t, hn::ShiftRight<8>(t)), half));
    const auto md = hn::ShiftRight<8>(hn::Add(hn::Add(u, hn::ShiftRight<8>(u)), half));
    return hn::Min(hn::Add(ms, md), full);
}

// N pixels at a time, N the lanes of a float vector, a pixel to a 32-bit lane: the colours in
// single precision, then blue and red in one vector of 16-bit halves and green in another, taken
// apart and put back with masks and shifts alone (no shuffles, which have one port of their own).
void Span(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes) {
#if HWY_TARGET == HWY_SCALAR // one lane: no halves to blend in, so the plain way
    cpu_span_plain(row, lo, hi, py, planes, HWY_NATIVE_FMA);
#else
    const hn::ScalableTag<float> df;
    const hn::RebindToUnsigned<decltype(df)> du;
    const hn::Repartition<uint16_t, decltype(du)> d16;
    using VF = hn::Vec<decltype(df)>;
    using VU = hn::Vec<decltype(du)>;
    const int n = static_cast<int>(hn::Lanes(df));
    const VF y = hn::Set(df, py);
    const VF iota = hn::Iota(df, 0.0f); // once: Highway builds it one lane at a time
    const VU pairs = hn::Set(du, 0x00ff00ffu), colour = hn::Set(du, 0x00ffffffu);
    uint32_t *pixels = reinterpret_cast<uint32_t *>(row);
    HWY_ALIGN uint32_t spare[HWY_MAX_BYTES / sizeof(float)];
    for (int x = lo; x <= hi; x += n) {
        const int count = std::min(n, hi - x + 1);
        uint32_t *p = pixels + x;
        if (count < n) { // the last few: through a copy, so nothing past hi is touched
            std::memcpy(spare, p, 4 * static_cast<size_t>(count));
            p = spare;
        }
        const VF px = hn::Add(iota, hn::Set(df, static_cast<float>(x)));
        // (no arrays of vectors: SVE's have no size the compiler knows)
        const VU red = channel(df, planes, 0, px, y), green = channel(df, planes, 1, px, y);
        const VU blue = channel(df, planes, 2, px, y), alpha = channel(df, planes, 3, px, y);
        // the picture is blue, green, red from the lowest byte
        const VU d = hn::LoadU(du, p);
        const VU a2 = hn::Or(alpha, hn::ShiftLeft<16>(alpha));
        const VU rest2 = hn::Sub(pairs, a2);
        const VU blue_red =
            hn::BitCast(du, blend2(d16, hn::BitCast(d16, hn::Or(blue, hn::ShiftLeft<16>(red))),
                                   hn::BitCast(d16, hn::And(d, pairs)), hn::BitCast(d16, a2),
                                   hn::BitCast(d16, rest2)));
        const VU green_x =
            hn::BitCast(du, blend2(d16, hn::BitCast(d16, green),
                                   hn::BitCast(d16, hn::And(hn::ShiftRight<8>(d), pairs)),
                                   hn::BitCast(d16, a2), hn::BitCast(d16, rest2)));
        hn::StoreU(hn::And(hn::Or(blue_red, hn::ShiftLeft<8>(green_x)), colour), du, p);
        if (p == spare)
            std::memcpy(pixels + x, spare, 4 * static_cast<size_t>(count));
    }
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

const char *cpu_target_name(int64_t target) { return hwy::TargetName(target); }

void cpu_target_choose(int64_t target) {
    if (target < 0)
        hwy::SetSupportedTargetsForTest(0);
    else
        hwy::SetSupportedTargetsForTest(target);
}
#endif
