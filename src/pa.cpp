#include "pa.h"

#include "common.h"

#include <atomic>
#include <cmath>
#include <fcntl.h>
#include <portaudio.h>
#include <unistd.h>

// Three capture blocks change hands between the callback and the display: the callback fills
// one, the display reads another, and the third holds the latest completed block. The index of
// that third one, with a bit saying it is newer than the display's, is exchanged atomically.
// The callback thus never waits, the display never sees a block being written, and a frame's
// block and peak always come from the same callback however long the frame holds them.
static double sample[3][pa_block_size];
static double pa_max[3];
constexpr int fresh = 4;
static std::atomic<int> latest{2};
static int writing = 0; // audio thread only
static int reading = 1; // main thread only
static_assert(std::atomic<int>::is_always_lock_free);

static PaStream *stream;

// Runs on the audio library's thread, every 50 ms: no lock, no allocation, no I/O, no system
// call. It handles exactly the 2205 frames the stream was opened with.
static int pa_callback(const void *input, void *, unsigned long, const PaStreamCallbackTimeInfo *,
                       PaStreamCallbackFlags, void *) {
    const float *in = static_cast<const float *>(input);
    double *block = sample[writing];
    double peak = 0;
    for (int n = 0; n < pa_block_size; ++n) {
        double v = in ? in[n] : 0.0;
        // a glitch's NaN or infinity would otherwise pin the display's running volume for good
        if (!std::isfinite(v))
            v = 0;
        block[n] = v;
        if (v > peak)
            peak = v;
    }
    pa_max[writing] = peak;
    writing = latest.exchange(writing | fresh, std::memory_order_acq_rel) & 3;
    return paContinue;
}

// The library's back ends (ALSA, JACK) print their probing on standard error; the program's
// only message there is its own error line, so their chatter goes to /dev/null meanwhile.
static int quiet_begin() {
    int saved = dup(2);
    int null = open("/dev/null", O_WRONLY);
    if (null >= 0) {
        dup2(null, 2);
        close(null);
    }
    return saved;
}

static void quiet_end(int saved) {
    if (saved >= 0) {
        dup2(saved, 2);
        close(saved);
    }
}

// Each library call runs quietly; its result is judged once standard error is back.
template <class Call> static int quietly(Call call) {
    int saved = quiet_begin();
    int err = call();
    quiet_end(saved);
    return err;
}

void pa_try(int err) {
    if (err != paNoError)
        error("PortAudio error: ", Pa_GetErrorText(err), err);
}

void pa_init() {
    pa_try(quietly([] { return Pa_Initialize(); }));
    pa_try(quietly([] {
        return Pa_OpenDefaultStream(&stream, 1, 0, paFloat32, 44100.0, pa_block_size, pa_callback,
                                    nullptr);
    }));
    pa_try(quietly([] { return Pa_StartStream(stream); }));
}

void pa_close() {
    pa_try(quietly([] { return Pa_StopStream(stream); }));
    pa_try(quietly([] { return Pa_CloseStream(stream); }));
    pa_try(quietly([] { return Pa_Terminate(); }));
}

const double *pa_get_sample() {
    if (latest.load(std::memory_order_relaxed) & fresh)
        reading = latest.exchange(reading, std::memory_order_acq_rel) & 3;
    return sample[reading];
}

double pa_get_max() { return pa_max[reading]; }
