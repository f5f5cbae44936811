#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Two minutes of varied sound (speech, tones, a sweep, silence, sudden loud bursts, clipping):
# lumora stays up, its resident memory after the first ten seconds does not grow by more than
# 1 MiB, and Esc still ends it with status 0. SOAK_SECONDS shortens the run by hand.
. "$(dirname "$0")/../../scripts/harness.sh"
h_need espeak-ng espeak-ng
h_need sox sox
seconds=${SOAK_SECONDS:-120}

# One round of the programme, about 24 s, as raw 16-bit mono at 44100 Hz. The heaviest sounds
# for the renderer (clipping, noise, the sweep: every bin loud) come first, then silence from
# 7 s to 11 s: the first measurement is taken at 10 s, in that silence, and the last in the
# silence after the programme, so that both show what is kept rather than a frame in flight.
raw="-r 44100 -c 1 -b 16 -e signed -t raw"
espeak-ng -w "$H_DIR/speech.wav" "lumora listens to the default input and draws every \
frequency from forty hertz up as a standing wave. Testing, one, two, three." 2>/dev/null
sox -q -V1 -n $raw "$H_DIR/p1.raw" synth 2 sine 1000 sine 3000 remix - gain 12 2>/dev/null # clipped
sox -q -V1 -n $raw "$H_DIR/p2.raw" synth 2 pinknoise vol 0.9 2>/dev/null
sox -q -V1 -n $raw "$H_DIR/p3.raw" synth 3 sine 40:20000 vol 0.5
sox -q -V1 -n $raw "$H_DIR/p4.raw" synth 4 trim 0 4
sox -q -V1 -n $raw "$H_DIR/p5.raw" synth 0.3 square 120 vol 0.99 # a sudden loud burst
sox -q -V1 -n $raw "$H_DIR/p6.raw" synth 3 sine 440 vol 0.3
sox -q -V1 "$H_DIR/speech.wav" $raw "$H_DIR/p7.raw" rate 44100 channels 1
sox -q -V1 -n $raw "$H_DIR/p8.raw" synth 1 trim 0 1
sox -q -V1 -n $raw "$H_DIR/p9.raw" synth 1 sine 60 vol 0.0005 # below the silence gate
cat "$H_DIR"/p[1-9].raw >"$H_DIR/round.raw"
round_bytes=$(stat -c %s "$H_DIR/round.raw")
: >"$H_DIR/soak.raw"
while [ "$(stat -c %s "$H_DIR/soak.raw")" -lt $((seconds * 88200)) ]; do
    cat "$H_DIR/round.raw" >>"$H_DIR/soak.raw"
done
head -c $((seconds * 88200)) "$H_DIR/soak.raw" >"$H_DIR/programme.raw"
h_say "programme: $((round_bytes / 88200)) s a round, $seconds s in all"

h_start_x
h_start_pulse
# The figure should show what lumora keeps, not the pools of the software GL driver: with its
# rasterizer threads, Mesa's llvmpipe keeps several scenes in flight whose memory follows the
# heaviest frame so far (about 170 MB more here after a minute of loud noise), and glibc would
# keep what those threads free in per-thread arenas. So the driver rasterizes on the calling
# thread (LP_NUM_THREADS=0) and glibc hands large freed blocks back (LP_NUM_THREADS=... from the
# caller overrides the first).
LP_NUM_THREADS=${LP_NUM_THREADS:-0} MALLOC_ARENA_MAX=1 MALLOC_MMAP_THRESHOLD_=131072 h_start_lumora
h_spawn play pacat --playback --raw --rate=44100 --channels=1 --format=s16le \
    --latency-msec=50 "$H_DIR/programme.raw"
PLAY_PID=$H_SPAWNED
h_find_window

rss() { awk '/^VmRSS:/ {print $2}' "/proc/$LUMORA_PID/status"; }
sleep 10
first=$(rss)
samples=""
while kill -0 "$PLAY_PID" 2>/dev/null; do
    sleep 5
    kill -0 "$LUMORA_PID" 2>/dev/null || h_fail "lumora ended during the soak"
    samples="$samples $(rss)"
done
sleep 3
last=$(rss)
h_say "resident memory (KiB): $first at 10 s; every 5 s:$samples; $last at the end"
[ $((last - first)) -le 1024 ] || h_fail "resident memory grew by $((last - first)) KiB"
h_key Escape
h_wait_exit 3 || h_fail "Esc did not end lumora after the soak"
[ "$LUMORA_STATUS" = 0 ] || h_fail "status $LUMORA_STATUS after the soak"
h_ok "$seconds s of varied sound: $first KiB at 10 s, $last KiB at the end; Esc exits 0"
