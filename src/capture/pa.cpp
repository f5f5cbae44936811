// SPDX-License-Identifier: GPL-3.0-or-later
#include "pa.h"

#include "fatal.h"
#include "pa_parts.h"

#include <atomic>
#include <chrono>
#include <cstdint>

using steady = std::chrono::steady_clock;

// Three capture blocks change hands between the callback and the display: the callback fills
// one, the display reads another, and the third holds the latest completed block. The index of
// that third one, with a bit saying it is newer than the display's, is exchanged atomically.
// The callback thus never waits, the display never sees a block being written, and a frame's
// block and peak always come from the same callback however long the frame holds them.
// A fourth block stays all zeros: the display is shown it once the input has stopped.
static double sample[4][pa_block_size];
static double pa_max[4];
constexpr int silent = 3;
constexpr int fresh = 4;
static std::atomic<int> latest{2};
static int writing = 0;               // audio thread only
static int reading = 1;               // main thread only
static int shown = 1;                 // main thread: reading, or silent
static steady::time_point taken_at;   // main thread: when the display last took a new block
static steady::time_point silence_at; // main thread: when it last took the block of zeros
static std::atomic<unsigned> blocks;  // completed blocks, counted for the keeper
// The current stream's token, given to it as its user data: a stream the keeper has moved on
// from gets no say over the blocks, and its callback stops it.
static std::atomic<std::uintptr_t> current_stream;
// The thread the callback runs on, recorded by its first call on each stream for the keeper.
static pthread_t stream_thread;
static std::atomic<bool> stream_thread_known;
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<unsigned>::is_always_lock_free);
static_assert(std::atomic<bool>::is_always_lock_free);

// Runs on the audio library's thread, every 50 ms: no lock, no allocation, no I/O, no system
// call. It handles exactly the 2205 frames the stream was opened with.
int pa_callback(const void *input, void *, unsigned long, const PaStreamCallbackTimeInfo *,
                PaStreamCallbackFlags, void *token) {
    if (reinterpret_cast<std::uintptr_t>(token) != current_stream.load(std::memory_order_relaxed))
        return paAbort;
    if (!stream_thread_known.load(std::memory_order_relaxed)) {
        stream_thread = pthread_self(); // no system call: the thread's own record
        stream_thread_known.store(true, std::memory_order_release);
    }
    const float *in = static_cast<const float *>(input);
    double *block = sample[writing];
    double peak = 0;
    for (int n = 0; n < pa_block_size; ++n) {
        const double v = pa_clean(in ? in[n] : 0.0);
        block[n] = v;
        if (v > peak)
            peak = v;
    }
    pa_max[writing] = peak;
    writing = latest.exchange(writing | fresh, std::memory_order_acq_rel) & 3;
    blocks.fetch_add(1, std::memory_order_relaxed);
    return paContinue;
}

unsigned pa_blocks() { return blocks.load(std::memory_order_relaxed); }

bool pa_stream_thread(pthread_t &thread) {
    if (!stream_thread_known.load(std::memory_order_acquire))
        return false;
    thread = stream_thread;
    return true;
}

void *pa_new_stream() {
    stream_thread_known.store(false, std::memory_order_relaxed);
    return reinterpret_cast<void *>(current_stream.fetch_add(1, std::memory_order_relaxed) + 1);
}

void pa_try(int err) {
    if (err != paNoError)
        error("PortAudio error: ", Pa_GetErrorText(err), err);
}

void pa_init() {
    pa_quiet_install();
    taken_at = steady::now();
    const PaError err = pa_keeper_start();
    if (err == paTimedOut) // the keeper waits on a frozen sound server: leave without it
        error_now("PortAudio error: ", Pa_GetErrorText(err), err);
    pa_try(err);
}

void pa_close() {
    PaError err;
    if (!pa_keeper_stop(pa_close_deadline_ms, err))
        return;            // nothing was opened
    if (err == paTimedOut) // the keeper is stuck in a sound server that does not answer
        error_now("PortAudio error: ", Pa_GetErrorText(err), err);
    pa_try(err);
}

const double *pa_get_sample() {
    const steady::time_point now = steady::now();
    if (latest.load(std::memory_order_relaxed) & fresh) {
        reading = latest.exchange(reading, std::memory_order_acq_rel) & 3;
        shown = reading;
        taken_at = now;
    } else if (now - taken_at > std::chrono::milliseconds(pa_stall_ms)) {
        shown = silent; // the input has stopped: silence, not the last block for ever
        silence_at = now;
    }
    return sample[shown];
}

bool pa_block_waiting() {
    if (latest.load(std::memory_order_relaxed) & fresh)
        return true;
    const steady::time_point now = steady::now();
    return now - taken_at > std::chrono::milliseconds(pa_stall_ms) &&
           now - silence_at >= std::chrono::milliseconds(pa_block_ms);
}

double pa_get_max() { return pa_max[shown]; }
