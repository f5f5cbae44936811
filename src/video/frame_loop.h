// SPDX-License-Identifier: GPL-3.0-or-later
// The frame loop both video programs drive: for each frame of the video, the pictures it needs
// (each the block of sound it shows, analysed and drawn in the one order of a frame, show_block),
// then the frame itself, the picture at its time or the mix of the two either side, with the
// title and captions over it. lumora-render and lumora-stream differ only in where the sound comes
// from and how it is paced (frame_loop_sound) and where the frames go (frame_loop_frames).
// Main thread only; nothing is allocated once the loop runs.
#pragma once

#include "picture/frame.h"

#include <chrono>

struct frame_loop_sound {
    // The sound up to mono sample c is there: decoded, waited for, or made silence. ended is set
    // once the sound is over (a file's end). False on a failure.
    virtual bool until(long long c, bool &ended) = 0;
    // The 2205 mono samples centred on c and their peak (see decode_block).
    virtual double block(long long c, double *block) = 0;
    // Mono samples there so far.
    virtual long long end() = 0;

  protected:
    ~frame_loop_sound() = default;
};

enum class frame_loop_next { go_on, stop, fail };

struct frame_loop_frames {
    // Frame n is past the video's end.
    virtual bool past_end(long long n) = 0;
    // Picture k is about to be drawn: the detail may be set in pic. False: it is not drawn, and
    // only moves the picture's state on, as a picture before the first frame does.
    virtual bool draw(long long k, picture &pic) = 0;
    // The time picture k took to draw.
    virtual void drew(long long k, std::chrono::steady_clock::duration took) = 0;
    // Frame n: pixels (rows bottom-up, BGRA, null for black) with what lies over the picture; or,
    // where same is set, a frame exactly like the one before, and pixels is null.
    virtual frame_loop_next frame(long long n, const unsigned char *pixels, bool same) = 0;

  protected:
    ~frame_loop_frames() = default;
};

struct frame_loop_settings {
    int fps = 30, width = 0, height = 0;
    bool on_cpu = true;      // the processor's painter, else OpenGL off screen
    bool decorated = false;  // the overlay lays text or images over the picture
    long long first = 0;     // the first frame
    long long draw_from = 0; // pictures before this only move the picture's state on
};

enum class frame_loop_end {
    done,         // past the end, or the sound is over
    stopped,      // frames() said stop
    sound_failed, // until() failed
    frames_failed // frames() failed
};

struct frame_loop_result {
    frame_loop_end end;
    long long next_frame; // the frame after the last one handed on
    long long drawn;      // pictures drawn
};

// Draws frames from s.first on, picture state carried in pic.
frame_loop_result frame_loop_run(const frame_loop_settings &s, frame_loop_sound &sound,
                                 frame_loop_frames &frames, picture &pic);
