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
template <class DF> HWY_INLINE hn::Vec<hn::RebindToSigned<DF>> to8(DF df, hn::Vec<DF> v) {
    const hn::RebindToSigned<DF> di;
    const auto scale = hn::Set(df, 255.0f);
    const auto c = hn::Min(hn::Max(hn::Mul(v, scale), hn::Zero(df)), scale);
    return hn::Sub(hn::BitCast(di, hn::Add(c, hn::Set(df, 8388608.0f))), hn::Set(di, 0x4b000000));
}

// One channel of the picture blended with a source channel of opacity a (rest: 255 - a).
template <class D16, class D8>
HWY_INLINE hn::Vec<D8> blend(D16 d16, D8 d8, hn::Vec<D8> dst, hn::Vec<D16> src, hn::Vec<D16> a,
                             hn::Vec<D16> rest) {
    const hn::RebindToSigned<D16> di16;
    const auto sum = hn::Add(mul8(d16, src, a), mul8(d16, hn::PromoteTo(d16, dst), rest));
    return hn::DemoteTo(d8, hn::BitCast(di16, hn::Min(sum, hn::Set(d16, 255))));
}

// 2N pixels at a time, N the lanes of a float vector: the colours in single precision, then in
// 16-bit lanes for the blend, the picture's bytes taken apart into channels and put back.
void Span(uint8_t *row, int lo, int hi, float py, const cpu_planes &planes) {
#if HWY_TARGET == HWY_SCALAR // one lane: no halves to combine, so the plain way
    cpu_span_plain(row, lo, hi, py, planes, HWY_NATIVE_FMA);
#else
    const hn::ScalableTag<float> df;
    const hn::Repartition<uint16_t, decltype(df)> d16; // 2N lanes
    const hn::Half<decltype(d16)> dh;                  // N lanes
    const hn::Rebind<uint8_t, decltype(d16)> d8;       // 2N lanes
    using VF = hn::Vec<decltype(df)>;
    using V16 = hn::Vec<decltype(d16)>;
    const int n = static_cast<int>(hn::Lanes(df));
    VF dadx[4], dady[4], a0[4];
    for (int c = 0; c < 4; ++c) {
        dadx[c] = hn::Set(df, planes.dadx[c]);
        dady[c] = hn::Set(df, planes.dady[c]);
        a0[c] = hn::Set(df, planes.a0[c]);
    }
    const VF y = hn::Set(df, py);
    const VF iota = hn::Iota(df, 0.0f); // once: Highway builds it one lane at a time
    const V16 full = hn::Set(d16, 255);
    const auto none = hn::Zero(d8);
    HWY_ALIGN uint8_t spare[4 * 2 * HWY_MAX_BYTES / sizeof(float)];
    for (int x = lo; x <= hi; x += 2 * n) {
        const int count = std::min(2 * n, hi - x + 1);
        uint8_t *p = row + 4 * x;
        if (count < 2 * n) { // the last few: through a copy, so nothing past hi is touched
            std::memcpy(spare, p, 4 * static_cast<size_t>(count));
            p = spare;
        }
        const VF px0 = hn::Add(iota, hn::Set(df, static_cast<float>(x)));
        const VF px1 = hn::Add(px0, hn::Set(df, static_cast<float>(n)));
        V16 c16[4];
        for (int c = 0; c < 4; ++c) {
            const VF v0 = hn::MulAdd(dady[c], y, hn::MulAdd(dadx[c], px0, a0[c]));
            const VF v1 = hn::MulAdd(dady[c], y, hn::MulAdd(dadx[c], px1, a0[c]));
            const auto lo16 = hn::DemoteTo(dh, to8(df, v0));
            const auto hi16 = hn::DemoteTo(dh, to8(df, v1));
            c16[c] = hn::Combine(d16, hi16, lo16);
        }
        hn::Vec<decltype(d8)> b8, g8, r8, x8;
        hn::LoadInterleaved4(d8, p, b8, g8, r8, x8);
        const V16 a = c16[3], rest = hn::Sub(full, a);
        hn::StoreInterleaved4(blend(d16, d8, b8, c16[2], a, rest),
                              blend(d16, d8, g8, c16[1], a, rest),
                              blend(d16, d8, r8, c16[0], a, rest), none, d8, p);
        if (p == spare)
            std::memcpy(row + 4 * x, spare, 4 * static_cast<size_t>(count));
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
