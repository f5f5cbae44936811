// SPDX-License-Identifier: GPL-3.0-or-later
// A stand-in for the audio library in unit tests: records how the stream was opened, lets a test
// make any call fail or start-up hang, says how many frames a blocking stream has waiting, and
// delivers chosen buffers to the registered callback. The capture module's keeper thread calls
// it too, so what both threads touch is atomic.
#pragma once

#include <atomic>
#include <portaudio.h>

struct fake_pa_state {
    std::atomic<int> channels_in = -1, channels_out = -1;
    std::atomic<PaSampleFormat> format = 0;
    std::atomic<double> rate = 0;
    std::atomic<unsigned long> frames = 0;
    std::atomic<int> opens = 0, started = 0, stopped = 0, closed = 0, initialized = 0,
                     terminated = 0;
    std::atomic<int> blocking_opens = 0; // opens without a callback
    std::atomic<PaError> fail_open = paNoError, fail_stop = paNoError;
    std::atomic<bool> hang_initialize = false; // Pa_Initialize waits without end, doing nothing
    std::atomic<long> waiting = 0;             // frames a blocking stream has waiting
    // the next hang_starts starts of callback streams wait until release_starts
    std::atomic<int> hang_starts = 0;
    std::atomic<bool> release_starts = false;
};

extern fake_pa_state fake_pa;

// Runs the registered stream callback on the calling thread; returns its result.
int fake_pa_deliver(const float *input, unsigned long frames);
