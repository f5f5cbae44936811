// Capture: the default audio input as a stream of 2205-sample blocks (50 ms at 44100 Hz) and the
// peak of each. pa_init, pa_close and the accessors run on the main thread; the stream callback
// runs on the audio library's own thread and hands each completed block over without a lock.
#pragma once

constexpr int pa_block_size = 2205;

// Opens and starts the default input stream. Any failure of the audio library ends the process.
void pa_init();

// Stops and closes the stream and shuts the audio library down.
void pa_close();

// The last completed block (pa_block_size samples). Each call takes over the newest block that
// the callback has finished; the pointer stays valid and unchanged until the next call.
const double *pa_get_sample();

// The largest sample of the block that pa_get_sample last returned, never below 0.
double pa_get_max();

// Ends the process with "PortAudio error: " and the library's text if err is not paNoError.
void pa_try(int err);
