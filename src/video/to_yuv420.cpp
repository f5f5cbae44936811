// SPDX-License-Identifier: GPL-3.0-or-later
// Compiled once for each vector unit Highway targets; the plain twin and the dispatch are below,
// in the part compiled once (HWY_ONCE). Two rows at a time: the luma of each, and the chroma of
// their 2 x 2 blocks.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "to_yuv420.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "to_yuv420.h"

#ifndef LUMORA_TO_YUV420_PLAIN // once, however many times Highway compiles this file
#define LUMORA_TO_YUV420_PLAIN
namespace {

constexpr int32_t luma_r = 11966, luma_g = 40254, luma_b = 4064, luma_add = (16 << 16) + (1 << 15);
constexpr int32_t u_r = -6596, u_g = -22188, u_b = 28784;
constexpr int32_t v_r = 28784, v_g = -26145, v_b = -2639;
constexpr int32_t chroma_add = (128 << 18) + (1 << 17);

// Columns from to w of the rows r0 above r1, into the planes' rows y0 above y1 and the chroma
// row of both, one pixel at a time.
void rows_plain(const uint8_t *r0, const uint8_t *r1, int from, int w, uint8_t *y0, uint8_t *y1,
                uint8_t *u, uint8_t *v) {
    auto luma = [](const uint8_t *p) {
        return static_cast<uint8_t>((luma_r * p[2] + luma_g * p[1] + luma_b * p[0] + luma_add) >>
                                    16);
    };
    for (int x = from; x < w; x += 2) {
        const uint8_t *a = r0 + 4 * x, *b = r1 + 4 * x;
        y0[x] = luma(a);
        y0[x + 1] = luma(a + 4);
        y1[x] = luma(b);
        y1[x + 1] = luma(b + 4);
        const int32_t B = a[0] + a[4] + b[0] + b[4], G = a[1] + a[5] + b[1] + b[5],
                      R = a[2] + a[6] + b[2] + b[6];
        u[x / 2] = static_cast<uint8_t>((u_r * R + u_g * G + u_b * B + chroma_add) >> 18);
        v[x / 2] = static_cast<uint8_t>((v_r * R + v_g * G + v_b * B + chroma_add) >> 18);
    }
}

} // namespace
#endif

HWY_BEFORE_NAMESPACE();
namespace lumora_yuv {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

#if HWY_TARGET != HWY_SCALAR // one lane has no neighbour to pair with: the plain way, below

// (cr R + cg G + cb B + add) >> kShift in 8 bits, for the channels in 32-bit lanes.
template <int kShift, class DI, class D8>
HWY_INLINE hn::Vec<D8> Weigh(DI di, D8 d8, hn::Vec<DI> r, hn::Vec<DI> g, hn::Vec<DI> b, int32_t cr,
                             int32_t cg, int32_t cb, int32_t add) {
    const auto sum = hn::Add(hn::Add(hn::Mul(r, hn::Set(di, cr)), hn::Mul(g, hn::Set(di, cg))),
                             hn::Add(hn::Mul(b, hn::Set(di, cb)), hn::Set(di, add)));
    return hn::DemoteTo(d8, hn::ShiftRight<kShift>(sum));
}

// A pixel to a 32-bit lane, blue in its lowest byte.
template <class DU, class DI, class D8>
HWY_INLINE hn::Vec<D8> Luma(DU du, DI di, D8 d8, hn::Vec<DU> p) {
    const auto byte = hn::Set(du, 0xffu);
    const auto b = hn::BitCast(di, hn::And(p, byte));
    const auto g = hn::BitCast(di, hn::And(hn::ShiftRight<8>(p), byte));
    const auto r = hn::BitCast(di, hn::And(hn::ShiftRight<16>(p), byte));
    return Weigh<16>(di, d8, r, g, b, luma_r, luma_g, luma_b, luma_add);
}

#endif

void Rows(const uint8_t *r0, const uint8_t *r1, int w, uint8_t *y0, uint8_t *y1, uint8_t *u,
          uint8_t *v) {
    int x = 0;
#if HWY_TARGET != HWY_SCALAR
    const hn::ScalableTag<uint32_t> du;
    const hn::RebindToSigned<decltype(du)> di;
    const hn::Rebind<uint8_t, decltype(du)> d8;
    const int n = static_cast<int>(hn::Lanes(du));
    const auto pairs = hn::Set(du, 0x00ff00ffu), byte = hn::Set(du, 0xffu);
    const auto *p0 = reinterpret_cast<const uint32_t *>(r0);
    const auto *p1 = reinterpret_cast<const uint32_t *>(r1);
    for (; x + 2 * n <= w; x += 2 * n) {
        const auto a0 = hn::LoadU(du, p0 + x), a1 = hn::LoadU(du, p0 + x + n);
        const auto b0 = hn::LoadU(du, p1 + x), b1 = hn::LoadU(du, p1 + x + n);
        hn::StoreU(Luma(du, di, d8, a0), d8, y0 + x);
        hn::StoreU(Luma(du, di, d8, a1), d8, y0 + x + n);
        hn::StoreU(Luma(du, di, d8, b0), d8, y1 + x);
        hn::StoreU(Luma(du, di, d8, b1), d8, y1 + x + n);
        // each column's two pixels summed: blue and red in the 16-bit halves of a lane, green in
        // the low half of another (at most 510, so nothing spills into the next half)
        const auto br0 = hn::Add(hn::And(a0, pairs), hn::And(b0, pairs));
        const auto br1 = hn::Add(hn::And(a1, pairs), hn::And(b1, pairs));
        const auto g0 =
            hn::Add(hn::And(hn::ShiftRight<8>(a0), byte), hn::And(hn::ShiftRight<8>(b0), byte));
        const auto g1 =
            hn::Add(hn::And(hn::ShiftRight<8>(a1), byte), hn::And(hn::ShiftRight<8>(b1), byte));
        // and then each pair of columns: a lane a block
        const auto br = hn::Add(hn::ConcatEven(du, br1, br0), hn::ConcatOdd(du, br1, br0));
        const auto g =
            hn::BitCast(di, hn::Add(hn::ConcatEven(du, g1, g0), hn::ConcatOdd(du, g1, g0)));
        const auto b = hn::BitCast(di, hn::And(br, hn::Set(du, 0xffffu)));
        const auto r = hn::BitCast(di, hn::ShiftRight<16>(br));
        hn::StoreU(Weigh<18>(di, d8, r, g, b, u_r, u_g, u_b, chroma_add), d8, u + x / 2);
        hn::StoreU(Weigh<18>(di, d8, r, g, b, v_r, v_g, v_b, chroma_add), d8, v + x / 2);
    }
#endif
    rows_plain(r0, r1, x, w, y0, y1, u, v);
}

} // namespace HWY_NAMESPACE
} // namespace lumora_yuv
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumora_yuv {
HWY_EXPORT(Rows);
} // namespace lumora_yuv

namespace {

template <class RowsFn>
void convert(RowsFn rows, const uint8_t *bgra, int w, int h, uint8_t *y, int y_stride, uint8_t *u,
             uint8_t *v, int uv_stride) {
    const size_t row_bytes = 4 * static_cast<size_t>(w);
    for (int k = 0; k + 1 < h; k += 2) { // k: rows top-down; the picture's go bottom-up
        const uint8_t *r0 = bgra + static_cast<size_t>(h - 1 - k) * row_bytes;
        rows(r0, r0 - row_bytes, w, y + static_cast<ptrdiff_t>(k) * y_stride,
             y + static_cast<ptrdiff_t>(k + 1) * y_stride,
             u + static_cast<ptrdiff_t>(k / 2) * uv_stride,
             v + static_cast<ptrdiff_t>(k / 2) * uv_stride);
    }
}

} // namespace

void to_yuv420(const uint8_t *bgra, int w, int h, uint8_t *y, int y_stride, uint8_t *u, uint8_t *v,
               int uv_stride) {
    convert(HWY_DYNAMIC_DISPATCH(lumora_yuv::Rows), bgra, w, h, y, y_stride, u, v, uv_stride);
}

void to_yuv420_plain(const uint8_t *bgra, int w, int h, uint8_t *y, int y_stride, uint8_t *u,
                     uint8_t *v, int uv_stride) {
    convert([](const uint8_t *r0, const uint8_t *r1, int w, uint8_t *y0, uint8_t *y1, uint8_t *u,
               uint8_t *v) { rows_plain(r0, r1, 0, w, y0, y1, u, v); },
            bgra, w, h, y, y_stride, u, v, uv_stride);
}
#endif
