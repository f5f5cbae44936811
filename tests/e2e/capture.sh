#!/usr/bin/env bash
# The sound path for real: a tone played into a private sound server reaches the capture module
# through the default input device; with no capture device lumora says so once and ends.
. "$(dirname "$0")/../../scripts/harness.sh"
PA_PROBE=${PA_PROBE:?path to pa_probe}

h_start_x 1280x720

# No sound server at all: there is no default input device.
PULSE_SERVER=unix:$H_DIR/nowhere h_start_lumora
h_wait_exit 10 || h_fail "lumora without a capture device did not end within 10 s"
[ "$LUMORA_STATUS" != 0 ] || h_fail "lumora without a capture device exited 0"
lines=$(wc -l <"$H_DIR/lumora.err")
first=$(head -n 1 "$H_DIR/lumora.err")
[ "$lines" = 1 ] || h_fail "expected one line on stderr, got $lines"
case "$first" in "PortAudio error: "?*) ;; *) h_fail "stderr reads '$first'" ;; esac
[ -z "$(xdotool search --name '.' 2>/dev/null)" ] || h_fail "a window appeared"
h_ok "no capture device: '$first', status $LUMORA_STATUS, no window"

h_start_pulse
h_play tone synth 6 sine 1000 vol 0.5
result=$("$PA_PROBE" 3)
h_say "tone at amplitude 0.5: $result"
blocks=${result#blocks=}
blocks=${blocks%% *}
peak=${result#*peak=}
[ "$blocks" -ge 15 ] || h_fail "only $blocks blocks in 3 s (expected 20 to 40 after up to a second of start-up)"
awk -v p="$peak" 'BEGIN { exit !(p > 0.49 && p < 0.51) }' || h_fail "peak $peak, expected 0.5"
h_ok "a 0.5 tone arrives with peak $peak in $blocks blocks"

h_stop "$PLAY_PID"
sleep 0.3
result=$("$PA_PROBE" 1)
peak=${result#*peak=}
awk -v p="$peak" 'BEGIN { exit !(p < 0.001) }' || h_fail "peak $peak in silence"
h_ok "silence gives peak $peak"
