// SPDX-License-Identifier: GPL-3.0-or-later
// What the capture module's three files share, and no other module uses: the callback and what
// it leaves for the keeper (pa.cpp), the keeper thread that owns the stream (pa_keeper.cpp), and
// the filter that keeps the audio libraries off standard error (pa_quiet.cpp).
#pragma once

#include <portaudio.h>
#include <pthread.h>

// pa.cpp. The stream callback, on the audio library's thread.
int pa_callback(const void *input, void *output, unsigned long frames,
                const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags flags, void *user);
// Completed blocks so far.
unsigned pa_blocks();
// The thread the callback runs on, once it has run since pa_new_stream: a stream whose thread
// burns the processor and delivers nothing is spinning.
bool pa_stream_thread(pthread_t &thread);
// A new stream is about to be opened: returns its token, its callback's user data. The callback
// of any other stream stops that stream and leaves the blocks alone.
void *pa_new_stream();

// pa_keeper.cpp. Starts the keeper, which initialises the library and opens and starts the
// default input: returns the first failing call's code, or paTimedOut when the library stops
// working without returning (a frozen sound server).
PaError pa_keeper_start();
// Has the keeper close the stream and terminate the library: returns the first failing call's
// code, or paTimedOut when that does not end within deadline_ms. False if no keeper runs.
bool pa_keeper_stop(int deadline_ms, PaError &result);

// pa_quiet.cpp. Replaces the C library's standard error with one that passes on only what the
// thread calling this writes; every other thread's lines are the libraries' own.
void pa_quiet_install();
// Marks the calling thread as the keeper, which the filter never ends (see pa_quiet.cpp).
void pa_quiet_keeper();
