// SPDX-License-Identifier: GPL-3.0-or-later
// The frame between two pictures, compiled once for each vector unit Highway targets; the plain
// twin and the dispatch are below, in the part compiled once (HWY_ONCE). In 16-bit lanes:
// a * (256 - weight) + b * weight + 128 is at most 255 * 256 + 128, so nothing overflows.
#undef HWY_TARGET_INCLUDE
#define HWY_TARGET_INCLUDE "picture_mix.cpp"
#include <hwy/foreach_target.h> // IWYU pragma: keep
#include <hwy/highway.h>

#include "frame_time.h"

#ifndef LUMORA_PICTURE_MIX_PLAIN // once, however many times Highway compiles this file
#define LUMORA_PICTURE_MIX_PLAIN
namespace {

void mix_plain(const uint8_t *a, const uint8_t *b, std::size_t from, std::size_t bytes, int weight,
               uint8_t *out) {
    const unsigned keep = 256 - weight, take = weight;
    for (std::size_t k = from; k < bytes; ++k)
        out[k] = static_cast<uint8_t>((a[k] * keep + b[k] * take + 128) >> 8);
}

void screen_plain(const uint8_t *a, const uint8_t *b, std::size_t from, std::size_t bytes,
                  uint8_t *out) {
    for (std::size_t k = from; k < bytes; ++k) {
        const unsigned t = (255u - a[k]) * (255u - b[k]) + 128u;
        out[k] = static_cast<uint8_t>(255u - ((t + (t >> 8)) >> 8));
    }
}

} // namespace
#endif

HWY_BEFORE_NAMESPACE();
namespace lumora_mix {
namespace HWY_NAMESPACE {
namespace hn = hwy::HWY_NAMESPACE;

void Mix(const uint8_t *a, const uint8_t *b, std::size_t bytes, int weight, uint8_t *out) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;
    const std::size_t n = hn::Lanes(d16);
    const auto keep = hn::Set(d16, static_cast<uint16_t>(256 - weight));
    const auto take = hn::Set(d16, static_cast<uint16_t>(weight));
    const auto half = hn::Set(d16, 128);
    std::size_t k = 0;
    for (; k + n <= bytes; k += n) {
        const auto va = hn::PromoteTo(d16, hn::LoadU(d8, a + k));
        const auto vb = hn::PromoteTo(d16, hn::LoadU(d8, b + k));
        const auto sum = hn::Add(hn::Add(hn::Mul(va, keep), hn::Mul(vb, take)), half);
        // at most 255 after the shift: the signed demotion's saturation never bites
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::ShiftRight<8>(sum))), d8, out + k);
    }
    mix_plain(a, b, k, bytes, weight, out);
}

// (255 - a)(255 - b) + 128 is at most 65153, and with its own top byte added 65407: 16 bits
void Screen(const uint8_t *a, const uint8_t *b, std::size_t bytes, uint8_t *out) {
    const hn::ScalableTag<uint16_t> d16;
    const hn::Rebind<uint8_t, decltype(d16)> d8;
    const hn::RebindToSigned<decltype(d16)> di16;
    const std::size_t n = hn::Lanes(d16);
    const auto full = hn::Set(d16, 255);
    const auto half = hn::Set(d16, 128);
    std::size_t k = 0;
    for (; k + n <= bytes; k += n) {
        const auto va = hn::Sub(full, hn::PromoteTo(d16, hn::LoadU(d8, a + k)));
        const auto vb = hn::Sub(full, hn::PromoteTo(d16, hn::LoadU(d8, b + k)));
        const auto t = hn::Add(hn::Mul(va, vb), half);
        const auto dark = hn::ShiftRight<8>(hn::Add(t, hn::ShiftRight<8>(t)));
        hn::StoreU(hn::DemoteTo(d8, hn::BitCast(di16, hn::Sub(full, dark))), d8, out + k);
    }
    screen_plain(a, b, k, bytes, out);
}

} // namespace HWY_NAMESPACE
} // namespace lumora_mix
HWY_AFTER_NAMESPACE();

#if HWY_ONCE
namespace lumora_mix {
HWY_EXPORT(Mix);
HWY_EXPORT(Screen);
} // namespace lumora_mix

void screen_pictures(const uint8_t *image, const uint8_t *picture, std::size_t bytes,
                     uint8_t *out) {
    HWY_DYNAMIC_DISPATCH(lumora_mix::Screen)(image, picture, bytes, out);
}

void screen_pictures_plain(const uint8_t *image, const uint8_t *picture, std::size_t bytes,
                           uint8_t *out) {
    screen_plain(image, picture, 0, bytes, out);
}

void mix_pictures(const uint8_t *a, const uint8_t *b, std::size_t bytes, int weight, uint8_t *out) {
    HWY_DYNAMIC_DISPATCH(lumora_mix::Mix)(a, b, bytes, weight, out);
}

void mix_pictures_plain(const uint8_t *a, const uint8_t *b, std::size_t bytes, int weight,
                        uint8_t *out) {
    mix_plain(a, b, 0, bytes, weight, out);
}
#endif
