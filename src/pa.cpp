// SPDX-License-Identifier: GPL-3.0-or-later
#include "pa.h"

#include "common.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <portaudio.h>
#include <thread>
#include <unistd.h>

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
static int writing = 0;              // audio thread only
static int reading = 1;              // main thread only
static int shown = 1;                // main thread: reading, or silent
static steady::time_point taken_at;  // main thread: when the display last took a new block
static std::atomic<unsigned> blocks; // completed blocks, counted for the keeper
static_assert(std::atomic<int>::is_always_lock_free);
static_assert(std::atomic<unsigned>::is_always_lock_free);

static PaStream *stream;

// The audio libraries (ALSA, JACK, PortAudio's back ends) write their probing, and complaints
// about a device that has gone, to the C library's stderr. That stream is replaced by one that
// passes everything straight on to file descriptor 2, except what a thread writes while it is
// marked quiet: the audio thread, the keeper, and the main thread during its library calls.
// Everything else (the toolkit, Xlib, our own error line) reaches the terminal as before.
static thread_local bool quiet;

static ssize_t pass_on(void *, const char *buf, size_t size) {
    if (quiet)
        return static_cast<ssize_t>(size); // dropped
    for (size_t done = 0; done < size;) {
        const ssize_t n = write(2, buf + done, size - done);
        if (n < 0 && errno != EINTR)
            break;
        done += n > 0 ? static_cast<size_t>(n) : 0;
    }
    return static_cast<ssize_t>(size);
}

static void filter_stderr() {
    static bool installed;
    if (installed)
        return;
    cookie_io_functions_t io{};
    io.write = pass_on;
    if (FILE *filtered = fopencookie(nullptr, "w", io)) {
        setvbuf(filtered, nullptr, _IONBF, 0);
        stderr = filtered;
        installed = true;
    }
}

template <class Call> static int quietly(Call call) {
    const bool was = quiet;
    quiet = true;
    const int err = call();
    quiet = was;
    return err;
}

// Runs on the audio library's thread, every 50 ms: no lock, no allocation, no I/O, no system
// call. It handles exactly the 2205 frames the stream was opened with.
static int pa_callback(const void *input, void *, unsigned long, const PaStreamCallbackTimeInfo *,
                       PaStreamCallbackFlags, void *) {
    quiet = true; // what the library prints on this thread is its own chatter
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

static PaError open_default() {
    return Pa_OpenDefaultStream(&stream, 1, 0, paFloat32, 44100.0, pa_block_size, pa_callback,
                                nullptr);
}

void pa_try(int err) {
    if (err != paNoError)
        error("PortAudio error: ", Pa_GetErrorText(err), err);
}

// The keeper thread watches the blocks. When none has come for a while, the device or its sound
// server has gone: it drops the stream and opens the default input afresh, trying again later,
// and less often, while that fails. All library calls after start-up are made on this thread,
// and pa_close has it close the stream, so that a sound server which never answers holds up
// only the keeper.
constexpr std::chrono::milliseconds watch_every{100};
constexpr std::chrono::milliseconds dead_after{1000};  // no block for this long: the stream died
constexpr std::chrono::milliseconds first_block{3000}; // a new stream's time for its first block
constexpr std::chrono::milliseconds retry_first{500}, retry_most{2000};

struct keeper_state {
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false, done = false;
    PaError result = paNoError;
    std::thread thread;
};
static keeper_state *keeper;

static bool reopen() {
    if (Pa_Initialize() != paNoError)
        return false;
    if (open_default() != paNoError) {
        Pa_Terminate();
        return false;
    }
    if (Pa_StartStream(stream) != paNoError) {
        Pa_CloseStream(stream);
        Pa_Terminate();
        return false;
    }
    return true;
}

static void drop() {
    Pa_AbortStream(stream);
    Pa_CloseStream(stream);
    Pa_Terminate();
}

// The orderly end: a failing step ends the sequence, and its code is what pa_close reports. The
// stream is aborted rather than stopped: stopping waits for the block in progress, up to 1.9 s
// right after start, and the block would only be thrown away.
static PaError close_all() {
    PaError err = Pa_AbortStream(stream);
    if (err == paNoError)
        err = Pa_CloseStream(stream);
    if (err == paNoError)
        err = Pa_Terminate();
    return err;
}

static void keep() {
    quiet = true;
    bool open = true;
    unsigned seen = blocks.load(std::memory_order_relaxed);
    steady::time_point last = steady::now(); // the last block, start or failed attempt
    steady::duration patience = first_block, retry = retry_first;
    std::unique_lock lock(keeper->mutex);
    while (!keeper->changed.wait_for(lock, watch_every, [] { return keeper->stop; })) {
        const unsigned now_seen = blocks.load(std::memory_order_relaxed);
        if (now_seen != seen) {
            seen = now_seen;
            last = steady::now();
            patience = dead_after;
            retry = retry_first;
            continue;
        }
        if (steady::now() - last < patience)
            continue;
        lock.unlock();
        if (open)
            drop();
        open = reopen();
        lock.lock();
        last = steady::now();
        if (open) {
            patience = first_block;
        } else {
            patience = retry;
            retry = std::min<steady::duration>(retry * 2, retry_most);
        }
    }
    lock.unlock();
    const PaError err = open ? close_all() : paNoError;
    lock.lock();
    keeper->result = err;
    keeper->done = true;
    keeper->changed.notify_all();
}

void pa_init() {
    filter_stderr();
    taken_at = steady::now();
    pa_try(quietly([] { return Pa_Initialize(); }));
    pa_try(quietly(open_default));
    pa_try(quietly([] { return Pa_StartStream(stream); }));
    keeper = new keeper_state;
    keeper->thread = std::thread(keep);
}

void pa_close() {
    if (!keeper) { // no keeper was started: close here
        pa_try(quietly(close_all));
        return;
    }
    std::unique_lock lock(keeper->mutex);
    keeper->stop = true;
    keeper->changed.notify_all();
    if (!keeper->changed.wait_for(lock, std::chrono::milliseconds(pa_close_deadline_ms),
                                  [] { return keeper->done; }))
        // the keeper is stuck in a sound server that does not answer: leave without it
        error_now("PortAudio error: ", Pa_GetErrorText(paTimedOut), paTimedOut);
    const PaError err = keeper->result;
    lock.unlock();
    keeper->thread.join();
    delete keeper;
    keeper = nullptr;
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
    }
    return sample[shown];
}

double pa_get_max() { return pa_max[shown]; }
