// SPDX-License-Identifier: GPL-3.0-or-later
// The picture's time. The picture moves once a block of sound, 20 times a second: its fade, its
// hue's turn and the running volume's release are set for that pace, and a trail lasts as long,
// and the hue turns as fast, wherever it is shown. A video at another frame rate shows, at each
// frame's time, the picture of that time where one falls on it, and between two pictures their
// mix, weighted by how near each is: the same trails, hues and brightness in seconds at any rate,
// with only the motion smoother. Any thread; nothing here allocates.
#pragma once

#include <cstddef>
#include <cstdint>

// Pictures a second: one a block of 2205 samples at 44100 Hz.
constexpr int picture_rate = 20;
constexpr int picture_samples = 44100 / picture_rate;

// Where frame n of a video at fps frames a second lies among the pictures: at picture `before`'s
// time plus weight / 256 of the way to the next. weight is 0 exactly where the frame's time,
// n / fps, is a picture's; at 20 frames a second it always is.
struct frame_place {
    long long before;
    int weight; // 0 to 255
};
frame_place frame_between(long long n, int fps);

// out = a * (256 - weight) / 256 + b * weight / 256, rounded to nearest, byte by byte: the frame
// between pictures a and b. Written once with Highway for every vector unit (chosen at run time)
// and once plainly, for the tests to compare; the same bytes either way.
void mix_pictures(const uint8_t *a, const uint8_t *b, std::size_t bytes, int weight, uint8_t *out);
void mix_pictures_plain(const uint8_t *a, const uint8_t *b, std::size_t bytes, int weight,
                        uint8_t *out);
// out = 255 - (255 - image)(255 - picture) / 255, rounded, byte by byte: the picture, light on
// black, over an image as "screen", so that the waves stay vivid over any image and black shows
// it. Through Highway as mix_pictures is, and plainly; the same bytes either way.
void screen_pictures(const uint8_t *image, const uint8_t *picture, std::size_t bytes, uint8_t *out);
void screen_pictures_plain(const uint8_t *image, const uint8_t *picture, std::size_t bytes,
                           uint8_t *out);

// The sample at the centre of frame n's block at fps frames a second: n / fps seconds at
// 44100 Hz, to the nearest sample.
constexpr long long frame_centre_sample(long long n, int fps) {
    return (2 * n * 44100 + fps) / (2 * fps);
}
// The frames a video of `samples` samples of sound has: those whose centre lies in the sound.
long long frames_of_sound(long long samples, int fps);
