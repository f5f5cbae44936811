// SPDX-License-Identifier: GPL-3.0-or-later
// The keeper thread owns the stream from start-up to the end, and makes every call into the
// audio library, so that a sound server which never answers holds up only the keeper.
//
// It initialises the library and opens the default input. When blocks stop coming (the sound
// server died or went away), or the stream's thread burns the processor without delivering any
// (the pulse plugin's descriptor stays readable while a suspended source yields nothing, and
// the library's thread polls it flat out), it drops the stream. It then watches with a stream in
// blocking mode, which has no thread of its own and is only asked, every watch_every, how many
// frames wait; once frames arrive it opens the callback stream again. Opening fails while the
// server is gone: it tries again later and less often. The library stays initialised from
// start-up to the end. Initialising it again would cost about 13 kB each time (PortAudio probes
// ALSA's a52 plugin, whose libraries' constructors run anew at every load and leak), and done
// while the server is gone it would find no default input at all; the default input found at
// start-up, opened again, reaches a sound server that has come back.
//
// Starting a callback stream can fail to return at all: the library's new thread takes a lock
// for its start, and when the sound server dies at that moment the thread ends with the lock
// still held, so the start waits on it for ever. A start is therefore made on a thread of its
// own and given start_patience; one that takes longer is left where it is, with its stream, and
// the keeper goes on watching the input. Should that start return after all, the stream is
// handed back and closed; its callbacks, meanwhile, find it is no longer the current stream and
// stop it. At the end the library is not shut down while a start is still out: closing its
// stream could wait on the same lock.
#include "pa.h"
#include "pa_parts.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <memory>
#include <mutex>
#include <span>
#include <thread>

using steady = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

constexpr milliseconds watch_every{100};
constexpr milliseconds dead_after{1000}; // no block for this long: the stream died
// No block for spin_after, and the stream's thread on over spin_share of a core: it spins. A
// thread that waits for sound uses next to nothing; one that spins on a busy machine, sharing
// its cores, may get no more than a third of one.
constexpr milliseconds spin_after{pa_stall_ms};
constexpr double spin_share = 0.2;
constexpr milliseconds first_block{3000}; // a new stream's time for its first block
// A start that takes longer is stuck: the library waits 1 s at most for its thread's own start.
constexpr milliseconds start_patience{3000};
constexpr milliseconds retry_first{500}, retry_most{2000};
// At start-up, a call that does not return while the keeper uses less than stall_cpu seconds of
// processor time in stall_window waits on a sound server that does not answer. One that works,
// however slowly (under valgrind, initialising takes seconds), is waited for.
constexpr int stall_window = 3000 / watch_every.count(); // in watches
constexpr double stall_cpu = 0.03;

struct keeper_state {
    std::mutex mutex;
    std::condition_variable changed;
    bool stop = false, started = false, done = false;
    PaError start_result = paNoError, result = paNoError;
    std::thread thread;
};
keeper_state *keeper;

PaStream *stream; // the callback stream, while one is open
PaStream *probe;  // a blocking stream that watches for frames while there is no callback stream

// A callback stream's start, made on a thread of its own (see above).
struct start_call {
    std::mutex mutex;
    std::condition_variable ended;
    bool done = false, left = false; // left: the keeper went on without it
    PaError result = paNoError;
};
// Streams of starts left behind that returned after all, for the keeper to close. A start is
// left behind once in a great while; more than a handful between two watches cannot happen.
constexpr int most_returned = 8;
std::mutex returned_mutex;
PaStream *returned[most_returned];
int returned_count;
int starts_out; // keeper only: starts left behind, not yet returned

double cpu_of(pthread_t thread) {
    clockid_t clock;
    timespec t;
    if (pthread_getcpuclockid(thread, &clock) != 0 || clock_gettime(clock, &t) != 0)
        return -1;
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

double seconds(steady::duration d) { return std::chrono::duration<double>(d).count(); }

// Starts a callback stream, waiting start_patience at most, and less if pa_close asks to stop.
// paTimedOut: the start was left behind with its stream, which is no longer the caller's.
PaError start_within(PaStream *s) {
    auto call = std::make_shared<start_call>();
    std::thread([call, s] {
        const PaError err = Pa_StartStream(s);
        std::lock_guard lock(call->mutex);
        call->done = true;
        call->result = err;
        if (call->left) {
            std::lock_guard back(returned_mutex);
            if (returned_count < most_returned)
                returned[returned_count++] = s;
        }
        call->ended.notify_all();
    }).detach();
    const steady::time_point until = steady::now() + start_patience;
    std::unique_lock lock(call->mutex);
    while (!call->ended.wait_for(lock, watch_every, [&] { return call->done; })) {
        bool stop;
        {
            std::lock_guard keeper_lock(keeper->mutex);
            stop = keeper->stop;
        }
        if (stop || steady::now() >= until) {
            call->left = true;
            ++starts_out;
            return paTimedOut;
        }
    }
    return call->result;
}

// Opens and starts the default input, with the callback or, for a probe, in blocking mode. A
// callback stream's start is given start_patience once the program runs; at start-up, a start
// that does no work is pa_keeper_start's to catch, and a slow one that works is waited for.
PaError open_input(PaStream *&s, PaStreamCallback *callback, void *token = nullptr) {
    PaError err =
        Pa_OpenDefaultStream(&s, 1, 0, paFloat32, 44100.0, pa_block_size, callback, token);
    const bool patient = callback && keeper->started;
    if (err == paNoError) {
        err = patient ? start_within(s) : Pa_StartStream(s);
        if (err == paTimedOut && patient) {
            s = nullptr; // left with its start
            return err;
        }
        if (err != paNoError)
            Pa_CloseStream(s);
    }
    if (err != paNoError)
        s = nullptr;
    return err;
}

PaError open_stream() { return open_input(stream, pa_callback, pa_new_stream()); }

// Drops a stream that is of no more use: whatever fails here, it is gone.
void drop(PaStream *&s) {
    Pa_AbortStream(s);
    Pa_CloseStream(s);
    s = nullptr;
}

// Drops the streams of starts that were left behind and returned after all (most have been
// stopped already, by their own callbacks).
void close_returned() {
    PaStream *back[most_returned];
    int count;
    {
        std::lock_guard lock(returned_mutex);
        count = returned_count;
        std::copy_n(returned, count, back);
        returned_count = 0;
    }
    for (PaStream *&s : std::span(back, static_cast<size_t>(count))) {
        drop(s);
        --starts_out;
    }
}

// The orderly end: a failing step ends the sequence, and its code is what pa_close reports. The
// stream is aborted rather than stopped: stopping waits for the block in progress, up to 1.9 s
// right after start, and the block would only be thrown away.
PaError close_all() {
    close_returned();
    if (probe)
        drop(probe);
    PaError err = paNoError;
    if (stream && (err = Pa_AbortStream(stream)) == paNoError)
        err = Pa_CloseStream(stream);
    stream = nullptr;
    if (starts_out > 0) // a start still waits inside the library: leave the library as it is
        return err;
    return err == paNoError ? Pa_Terminate() : err;
}

// Watches the input until pa_close asks the keeper to stop.
void watch() {
    steady::time_point now = steady::now(), last = now, next_try = now;
    steady::duration patience = first_block, retry = retry_first;
    unsigned seen = 0;        // a block the first stream delivered before this is its first block
    double cpu_at_block = -1; // the stream thread's processor time at the last block
    std::unique_lock lock(keeper->mutex);
    while (!keeper->changed.wait_for(lock, watch_every, [] { return keeper->stop; })) {
        lock.unlock();
        close_returned();
        now = steady::now();
        if (stream) {
            pthread_t thread;
            const bool known = pa_stream_thread(thread);
            if (pa_blocks() != seen) {
                seen = pa_blocks();
                last = now;
                patience = dead_after;
                cpu_at_block = known ? cpu_of(thread) : -1;
            } else if (now - last >= patience ||
                       (now - last >= spin_after && known && cpu_at_block >= 0 &&
                        cpu_of(thread) - cpu_at_block > spin_share * seconds(now - last))) {
                drop(stream);
                next_try = now;
            }
        }
        if (!stream && !probe && now >= next_try) {
            if (open_input(probe, nullptr) != paNoError) {
                next_try = now + retry;
                retry = std::min<steady::duration>(retry * 2, retry_most);
            }
        }
        if (probe) {
            const long waiting = Pa_GetStreamReadAvailable(probe);
            if (waiting != 0) { // frames, or an error: either way the probe has done its part
                drop(probe);
                const unsigned before = pa_blocks();
                if (waiting > 0 && open_stream() == paNoError) {
                    seen = before; // a block delivered while the start returned is its first
                    last = steady::now();
                    patience = first_block;
                    cpu_at_block = -1;
                    retry = retry_first;
                } else {
                    next_try = now + retry;
                    retry = std::min<steady::duration>(retry * 2, retry_most);
                }
            }
        }
        lock.lock();
    }
}

void keep() {
    pa_quiet_keeper();
    PaError err = Pa_Initialize();
    if (err == paNoError && (err = open_stream()) != paNoError)
        Pa_Terminate();
    {
        std::lock_guard lock(keeper->mutex);
        keeper->started = true;
        keeper->start_result = err;
    }
    keeper->changed.notify_all();
    if (err != paNoError)
        return; // pa_init ends the process with the library's message
    watch();
    err = close_all();
    std::lock_guard lock(keeper->mutex);
    keeper->result = err;
    keeper->done = true;
    keeper->changed.notify_all();
}

} // namespace

PaError pa_keeper_start() {
    keeper = new keeper_state;
    keeper->thread = std::thread(keep);
    const pthread_t thread = keeper->thread.native_handle();
    double used[stall_window + 1];
    int watches = 0;
    std::unique_lock lock(keeper->mutex);
    while (!keeper->changed.wait_for(lock, watch_every, [] { return keeper->started; })) {
        used[watches % (stall_window + 1)] = cpu_of(thread);
        if (++watches > stall_window &&
            used[(watches - 1) % (stall_window + 1)] - used[watches % (stall_window + 1)] <
                stall_cpu)
            return paTimedOut; // the keeper waits on a server that does not answer
    }
    return keeper->start_result;
}

bool pa_keeper_stop(int deadline_ms, PaError &result) {
    if (!keeper)
        return false;
    std::unique_lock lock(keeper->mutex);
    keeper->stop = true;
    keeper->changed.notify_all();
    if (!keeper->changed.wait_for(lock, milliseconds(deadline_ms), [] { return keeper->done; })) {
        result = paTimedOut; // stuck in a sound server that does not answer
        return true;
    }
    result = keeper->result;
    lock.unlock();
    keeper->thread.join();
    delete keeper;
    keeper = nullptr;
    return true;
}
