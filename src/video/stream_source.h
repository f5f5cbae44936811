// SPDX-License-Identifier: GPL-3.0-or-later
// lumora-stream's sound: read and decoded on a thread of its own (files one after another, standard
// input, an HTTP stream, or the default input), each frame converted once to the stream's sound
// format and mixed to mono for the picture, into a queue of a few seconds. The main thread takes
// the sound from it at real time, sample by sample: where the source has stalled it takes
// silence, so that the stream goes on, and a live source that comes back with more than a second
// waiting loses the oldest, so that the delay stays bounded. The thread reopens a source that
// fails, after 1, 2, 4 ... up to 30 s, with one line when the outage starts and one when it ends.
#pragma once

#include "stream_options.h"

#include <string>

// Opens the first of the source's sound (a live source that cannot be reached yet is retried
// once the reader runs). On failure (no file of a folder or playlist can be played, a bad
// standard input), error holds one line to print.
bool stream_source_open(const stream_options &o, std::string &error);
// The channels (1 or 2) and rate (44100 or 48000 Hz) the source's first sound has; stereo at
// 44100 Hz where it is not known yet.
int stream_source_channels();
int stream_source_rate();

// Starts the reader, converting the sound to `channels` at `rate` (the sound track's format).
bool stream_source_start(int channels, int rate, std::string &error);
// Stops the reader and lets go of everything.
void stream_source_close();

// Main thread. Waits until mono sample c is due (c / 44100 s after the first call) and the sound
// up to it is there, taking silence for what a stalled source has not brought; ended is set
// once a source that cannot come back is over (the end of standard input, or of the files
// without --loop) and everything it brought has been taken. False once asked to stop.
bool stream_source_until(long long c, bool &ended);
// The sound track's samples taken since the last call, interleaved floats in the sound track's
// channels; frames, their count.
const float *stream_source_sound(int &frames);
// The 2205 mono samples centred on c and their peak, as decode_block gives them.
double stream_source_block(long long c, double *block);
long long stream_source_end();
// How far the sound taken lags behind real time, in seconds: what drawing has fallen behind by.
double stream_source_behind_s();
// The seconds the main thread has spent waiting in stream_source_until: the room drawing has.
double stream_source_waited_s();

// Wakes a wait in stream_source_until, which then returns false: for a signal's stop.
void stream_source_stop();

// What is playing: the HTTP stream's title, or the file's tags, or its name; and a count that
// changes whenever it does. Any thread.
std::string stream_source_title(unsigned &changes);
// The count alone, for a look every frame that copies nothing.
unsigned stream_source_title_changes();

// Seconds of silence taken for a stalled source, and the source's outages, so far.
double stream_source_silence_s();
long long stream_source_outages();
// The source ended in a failure that cannot come right (standard input that is not sound).
bool stream_source_failed();
