// SPDX-License-Identifier: GPL-3.0-or-later
#include "frame_loop.h"

#include "offscreen.h"
#include "overlay.h"
#include "picture/cpu_painter.h"
#include "picture/frame_time.h"
#include "picture/ft.h"
#include "picture/paint.h"

#include <cstring>
#include <vector>

using steady = std::chrono::steady_clock;

namespace {
double block[ft_size];
}

frame_loop_result frame_loop_run(const frame_loop_settings &s, frame_loop_sound &sound,
                                 frame_loop_frames &frames, picture &pic) {
    // The pictures so far: `current` the last (null while none is drawn: black), `older` the one
    // before it, kept for the frames between the two. After a picture that rests, the two are the
    // same, and older is not read (older_is_current) until the next is drawn.
    const size_t bytes = static_cast<size_t>(s.width) * s.height * 4;
    std::vector<unsigned char> older(bytes), between(bytes);
    const unsigned char *current = nullptr;
    bool older_is_current = true;
    bool ended = false;
    long long next = 0;  // the next picture to make
    long long drawn = 0; // pictures drawn so far: which frames are alike
    auto make_picture = [&](long long k) {
        const long long c = k * picture_samples;
        if (!sound.until(c + ft_size / 2 + 1, ended)) // and one more: a glitch is told by its
            return false;                             // neighbours
        double p = sound.block(c, block);
        block_centre(block, p, block);
        if (k < s.draw_from || !frames.draw(k, pic)) {
            if (!picture_rests(pic, p))
                picture_step(pic, p);
            return true;
        }
        if (picture_rests(pic, p)) { // the picture stays as it is: no frame mixes it
            older_is_current = true;
            return true;
        }
        const steady::time_point start = steady::now();
        if (current) // the painter draws over its picture in place
            std::memcpy(older.data(), current, bytes);
        older_is_current = false;
        if (s.on_cpu) {
            cpu_painter paint;
            show_block(paint, pic, block, p, s.width, s.height, [] {});
            current = cpu_picture_pixels();
        } else {
            gl_painter paint;
            show_block(paint, pic, block, p, s.width, s.height, [] { offscreen_read(); });
            current = offscreen_last();
        }
        ++drawn;
        frames.drew(k, steady::now() - start);
        return true;
    };
    long long n = s.first, last_drawn = -1;
    int last_weight = -1;
    for (;; ++n) {
        if (frames.past_end(n))
            return {frame_loop_end::done, n, drawn};
        // the pictures first: each takes the sound just as far as its block, and the sound before
        // a late first frame is read in order (decoded sound is kept for 23.8 s only)
        const frame_place at = frame_between(n, s.fps);
        for (const long long need = at.before + (at.weight > 0); next <= need; ++next)
            if (!make_picture(next))
                return {frame_loop_end::sound_failed, n, drawn};
        const long long c = frame_centre_sample(n, s.fps);
        if (!sound.until(c + ft_size / 2, ended))
            return {frame_loop_end::sound_failed, n, drawn};
        if (ended && c >= sound.end())
            return {frame_loop_end::done, n, drawn}; // the sound is over before this frame's time
        // the frame: the picture at its time, or the mix of the two either side
        const int weight = older_is_current || !current ? 0 : at.weight;
        const unsigned char *pixels = current;
        if (weight > 0) {
            mix_pictures(older.data(), current, bytes, weight, between.data());
            pixels = between.data();
        }
        // the title and captions at this frame's time, over the picture
        const bool text_moved = s.decorated && overlay_prepare(n);
        const bool same = drawn == last_drawn && weight == last_weight && !text_moved;
        const frame_loop_next go = frames.frame(n,
                                                same          ? nullptr
                                                : s.decorated ? overlay_apply(pixels)
                                                              : pixels,
                                                same);
        if (go == frame_loop_next::fail)
            return {frame_loop_end::frames_failed, n, drawn};
        if (go == frame_loop_next::stop)
            return {frame_loop_end::stopped, n, drawn};
        last_drawn = drawn;
        last_weight = weight;
    }
}
