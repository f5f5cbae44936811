// SPDX-License-Identifier: GPL-3.0-or-later
#include "fake_portaudio.h"

#include <chrono>
#include <thread>

fake_pa_state fake_pa;
static std::atomic<PaStreamCallback *> callback;
static std::atomic<void *> user_data;
static int stream_token;
static std::atomic<bool> callback_opened; // the last stream opened has a callback

PaError Pa_Initialize() {
    while (fake_pa.hang_initialize) // a sound server that never answers
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ++fake_pa.initialized;
    return paNoError;
}

PaError Pa_Terminate() {
    ++fake_pa.terminated;
    return paNoError;
}

PaError Pa_OpenDefaultStream(PaStream **stream, int in, int out, PaSampleFormat format, double rate,
                             unsigned long frames, PaStreamCallback *cb, void *user) {
    ++fake_pa.opens;
    if (fake_pa.fail_open != paNoError)
        return fake_pa.fail_open;
    callback_opened = cb != nullptr;
    if (!cb) { // blocking mode: read, or asked how much waits
        ++fake_pa.blocking_opens;
        *stream = &stream_token;
        return paNoError;
    }
    fake_pa.channels_in = in;
    fake_pa.channels_out = out;
    fake_pa.format = format;
    fake_pa.rate = rate;
    fake_pa.frames = frames;
    callback = cb;
    user_data = user;
    *stream = &stream_token;
    return paNoError;
}

PaError Pa_StartStream(PaStream *) {
    if (callback_opened && fake_pa.hang_starts > 0) {
        --fake_pa.hang_starts;
        while (!fake_pa.release_starts)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    ++fake_pa.started;
    return paNoError;
}

PaError Pa_AbortStream(PaStream *) {
    if (fake_pa.fail_stop != paNoError)
        return fake_pa.fail_stop;
    ++fake_pa.stopped;
    return paNoError;
}

PaError Pa_CloseStream(PaStream *) {
    ++fake_pa.closed;
    return paNoError;
}

signed long Pa_GetStreamReadAvailable(PaStream *) { return fake_pa.waiting; }

const char *Pa_GetErrorText(PaError err) {
    switch (err) {
    case paInvalidDevice:
        return "Invalid device";
    case paDeviceUnavailable:
        return "Device unavailable";
    case paIncompatibleHostApiSpecificStreamInfo:
        return "Incompatible host API specific stream info";
    case paTimedOut:
        return "Wait timed out";
    default:
        return "Unanticipated host error";
    }
}

int fake_pa_deliver(const float *input, unsigned long frames) {
    return callback.load()(input, nullptr, frames, nullptr, 0, user_data.load());
}
