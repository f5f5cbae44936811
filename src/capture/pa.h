// SPDX-License-Identifier: GPL-3.0-or-later
// Capture: the default audio input as a stream of 2205-sample blocks (50 ms at 44100 Hz) and the
// peak of each. pa_init, pa_close and the accessors run on the main thread; the stream callback
// runs on the audio library's own thread and hands each completed block over without a lock.
// A keeper thread owns the stream and makes every library call: it reopens the default input
// when blocks stop coming (the sound server died, went away or suspended its source) and closes
// it when pa_close asks. Only the main thread's lines reach standard error: the libraries' own,
// from whatever thread, are dropped.
#pragma once

#include <cmath>

constexpr int pa_block_size = 2205;

// Samples further from zero than this are glitches and are stored as 0, like NaN and infinity.
// A float stream may go past 1.0 (desktop mixers boost by up to about 11 dB, a factor of 3.6);
// nothing a device delivers comes near 16 (24 dB over full scale).
constexpr double pa_glitch_limit = 16.0;

// A sample as the capture keeps it: a glitch (NaN, infinity, further than pa_glitch_limit from 0)
// becomes 0, so that it never pins the display's running volume.
inline double pa_clean(double v) { return std::fabs(v) <= pa_glitch_limit ? v : 0.0; }

// Opens and starts the default input stream. Any failure of the audio library ends the process.
// So does a library call that does not return while it does no work (a frozen sound server): after
// about 3 s, as if it had failed with paTimedOut. A slow start that works is waited for.
void pa_init();

// Aborts and closes the stream and shuts the audio library down. A failing step ends the process
// with the library's message; when the library does not let go within pa_close_deadline_ms (a
// frozen sound server), the process ends at once as if that step had failed with paTimedOut.
void pa_close();
constexpr int pa_close_deadline_ms = 1000;

// The last completed block (pa_block_size samples). Each call takes over the newest block that
// the callback has finished; the pointer stays valid and unchanged until the next call. When no
// block has arrived for pa_stall_ms, the input counts as silence and this is a block of zeros.
const double *pa_get_sample();
constexpr int pa_stall_ms = 250;

// Whether pa_get_sample would now give the display a block it has not had: a newly completed
// one, or, once the input has stopped, the block of zeros once a block time (50 ms), so that the
// picture fades in silence at the pace it moves with sound. Reads the clock and an atomic, nothing
// more: the display polls it while it waits for the next block.
bool pa_block_waiting();
constexpr int pa_block_ms = 50;

// The largest sample of the block that pa_get_sample last returned, never below 0.
double pa_get_max();

// Ends the process with "PortAudio error: " and the library's text if err is not paNoError.
void pa_try(int err);
