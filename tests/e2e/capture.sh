#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
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

# What the computer plays. On a desktop the default input is a microphone (here a silent one) and
# music goes to the default output. Plain lumora stays black; the command the README and the man
# page give, and the desktop entry's "Show what is playing", draw the music. Under PulseAudio, and
# under PipeWire's pulse service where PipeWire is installed.
mkdir -p "$H_DIR/bin"
ln -sf "$(readlink -f "$LUMORA")" "$H_DIR/bin/lumora"
action=$(sed -n '/^\[Desktop Action playing\]/,/^\[/ s/^Exec=//p' "$(dirname "$0")/../../data/lumora.desktop")
action=${action//\\\\/\\} # the desktop file's own escape: \\ stands for one backslash
[ -n "$action" ] || h_fail "the desktop entry has no 'playing' action"

# h_expect_playing SERVER HOW COMMAND...: lumora started so draws the music within 10 s
h_expect_playing() {
    local server=$1 how=$2
    shift 2
    h_spawn lumora env PATH="$H_DIR/bin:$PATH" "$@"
    LUMORA_PID=$H_SPAWNED
    h_find_window
    h_until 10 h_lit playing || h_fail "$server: $how does not draw what is playing"
    h_key Escape
    h_wait_exit 3 || h_fail "$server: lumora started by $how did not end on Esc"
    h_ok "$server: $how draws what is playing"
}

h_expect_what_plays() {
    local server=$1
    h_play music synth 60 pinknoise synth 60 sine mix 1000 vol 0.3
    h_expect_playing "$server" "the documented command" sh -c \
        'PULSE_SOURCE="$(pactl get-default-sink).monitor" PIPEWIRE_ALSA="{ stream.capture.sink=true }" lumora'
    # run as a launcher runs it: the Exec key's quoting is the shell's ("...", with \$ for $)
    eval "set -- $action"
    h_expect_playing "$server" "the desktop action" "$@"
    h_start_lumora
    h_find_window
    for _ in 1 2 3 4 5 6; do
        sleep 0.5
        h_waves mic
        [ "$max" -le 2 ] || h_fail "$server: plain lumora draws the music (max $max), not the silent microphone"
    done
    h_key Escape
    h_wait_exit 3 || h_fail "$server: lumora did not end on Esc"
    h_stop "$PLAY_PID"
    h_ok "$server: plain lumora listens to the silent microphone and stays black"
}

h_start_pulse desktop
h_expect_what_plays PulseAudio
if h_have_pipewire; then
    h_start_pipewire
    h_expect_what_plays PipeWire
else
    h_say "PipeWire is not installed here: what plays is shown under PulseAudio only"
fi
