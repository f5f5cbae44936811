# SPDX-License-Identifier: GPL-3.0-or-later
# Headless harness, sourced by the end-to-end tests and the picture scripts: private X and sound
# servers, the real lumora binary, keys, window title and geometry, screenshots. Everything it
# starts is recorded by process id and stopped when the script exits, whether it passed or not.
# Usage:  . scripts/harness.sh "$lumora_binary"; h_start_x; h_start_pulse; h_start_lumora; ...
set -eu

LUMORA=${1:?usage: $0 PATH_TO_LUMORA}
XPROBE=${XPROBE:-xprobe}
H_DIR=$(mktemp -d "${TMPDIR:-/tmp}/lumora-e2e.XXXXXX")
H_PIDS=""
LUMORA_PID=""
LUMORA_STATUS=""
WIN=""

h_say() { printf '%s\n' "$*"; }
h_fail() {
    printf 'FAIL: %s\n' "$*" >&2
    if [ -s "$H_DIR/lumora.err" ]; then
        printf -- '--- lumora stderr (last lines)\n' >&2
        tail -n 15 "$H_DIR/lumora.err" >&2
    fi
    exit 1
}
h_ok() { printf 'ok: %s\n' "$*"; }
# h_skip REASON: the test cannot run here (status 77, which CTest reports as skipped)
h_skip() {
    printf 'SKIP: %s\n' "$*"
    exit 77
}

# h_need TOOL PACKAGE: one clear line when a tool is missing
h_need() {
    command -v "$1" >/dev/null 2>&1 || h_fail "missing tool '$1' (Debian package $2)"
}

# h_daemon PROGRAM PACKAGE: a server this test starts for itself; the set-up leaves them out
# where the machine's services would start one of their own
h_daemon() {
    command -v "$1" >/dev/null 2>&1 || [ -x "/usr/sbin/$1" ] && return 0
    [ -d /run/systemd/system ] || h_fail "missing $1 (Debian package $2)"
    h_skip "$1 is not installed (Debian package $2): the set-up leaves it out where services start on their own"
}

# h_spawn NAME COMMAND...: start a command in the background, remembering its id for cleanup
h_spawn() {
    local name=$1
    shift
    "$@" >"$H_DIR/$name.out" 2>"$H_DIR/$name.err" &
    H_SPAWNED=$!
    H_PIDS="$H_SPAWNED $H_PIDS"
}

# h_stop PID: ask politely, then insist
h_stop() {
    local pid=$1 i
    kill -0 "$pid" 2>/dev/null || return 0
    kill -TERM "$pid" 2>/dev/null || true
    for i in $(seq 30); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -KILL "$pid" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

h_cleanup() {
    local pid
    for pid in $H_PIDS; do h_stop "$pid"; done
    if [ -n "${H_KEEP:-}" ]; then
        printf 'harness files kept in %s\n' "$H_DIR" >&2
    else
        rm -rf "$H_DIR"
    fi
}
trap h_cleanup EXIT
trap 'exit 130' INT TERM

# h_busy: how many times longer than on an idle machine a wait may take now: the tasks that want
# a processor, per processor, rounded up and 1 at the least; the more of those running now (less
# this one) and over the last minute (the load average, which is slow to follow a new load).
# Every wait below is scaled by it, so that a test waits for what it needs on a busy machine
# too, and gives up as soon as on an idle one.
h_busy() {
    awk -v n="$(nproc)" '{ split($4, r, "/"); f = ($1 > r[1] - 1 ? $1 : r[1] - 1) / n
                           print (f > 1 ? int(f + 0.999) : 1) }' /proc/loadavg
}

# h_until SECONDS COMMAND...: poll until the command succeeds; fails after the time is up (times
# h_busy)
h_until() {
    local limit=$(($1 * $(h_busy))) end
    shift
    end=$(($(date +%s%N) / 1000000 + limit * 1000))
    until "$@" >/dev/null 2>&1; do
        [ "$(($(date +%s%N) / 1000000))" -lt "$end" ] || return 1
        sleep 0.05
    done
}

# h_start_x [WIDTHxHEIGHT]: a private X server on a display number it picks itself
h_start_x() {
    h_need Xvfb xvfb
    h_need xdotool xdotool
    h_need xwininfo x11-utils
    local size=${1:-1280x720}
    exec 9>"$H_DIR/display"
    h_spawn xvfb Xvfb -displayfd 9 -screen 0 "${size}x24" -nolisten tcp -noreset
    exec 9>&-
    h_until 10 test -s "$H_DIR/display" || h_fail "Xvfb did not start: $(cat "$H_DIR/xvfb.err")"
    DISPLAY=:$(cat "$H_DIR/display")
    export DISPLAY
    h_until 10 xwininfo -root || h_fail "X server $DISPLAY does not answer"
}

# h_start_pulse [desktop]: a private sound server whose default source is the monitor of a null
# sink, reached by PortAudio through ALSA's pulse plugin. The sink holds 32-bit floats, as desktop
# sound servers do, so that what a float stream carries (past full scale, or a glitch) arrives.
# With "desktop" it is laid out as a desktop is: the default source is a microphone (a silent one)
# and the default sink, where the music goes, is the speakers. Called again after the server has
# been killed, it starts a new one on the same socket.
h_start_pulse() {
    if ! command -v pulseaudio >/dev/null 2>&1 && h_have_pipewire; then
        h_skip "needs a private PulseAudio server; this system's sound server is PipeWire, which installing pulseaudio would replace"
    fi
    h_need pulseaudio pulseaudio
    h_need pactl pulseaudio-utils
    [ -e /usr/share/alsa/alsa.conf.d/pulse.conf ] || h_fail "missing ALSA pulse plugin (Debian package libasound2-plugins)"
    local dir=$H_DIR/pulse${1:+-$1}
    mkdir -p "$dir/run" "$dir/state"
    chmod 700 "$dir/run"
    if [ "${1:-}" = desktop ]; then
        cat >"$dir/default.pa" <<PA
load-module module-null-sink sink_name=speakers rate=44100 channels=2 format=float32le
load-module module-null-source source_name=mic rate=44100 channels=1
set-default-sink speakers
set-default-source mic
PA
    else
        cat >"$dir/default.pa" <<PA
load-module module-null-sink sink_name=lumora_test rate=44100 channels=1 format=float32le
set-default-sink lumora_test
set-default-source lumora_test.monitor
PA
    fi
    echo "load-module module-native-protocol-unix auth-anonymous=1 socket=$dir/socket" >>"$dir/default.pa"
    h_spawn "pulse${1:+-$1}" env HOME="$dir" XDG_RUNTIME_DIR="$dir/run" PULSE_RUNTIME_PATH="$dir/run" \
        PULSE_STATE_PATH="$dir/state" pulseaudio -n -F "$dir/default.pa" --daemonize=no \
        --exit-idle-time=-1 --use-pid-file=no --disallow-exit --disallow-module-loading \
        --log-target=stderr
    PULSE_PID=$H_SPAWNED
    PULSE_SERVER=unix:$dir/socket
    export PULSE_SERVER
    h_until 10 pactl info || h_fail "PulseAudio did not start: $(tail -n 3 "$H_DIR/pulse${1:+-$1}.err")"
}

# h_have_pipewire: PipeWire, its session manager and its pulse service are installed
h_have_pipewire() {
    command -v pipewire && command -v wireplumber && command -v pipewire-pulse &&
        command -v dbus-daemon && command -v pw-cli
} >/dev/null 2>&1

# h_start_pipewire: a private PipeWire laid out as a desktop (see h_start_pulse desktop), with its
# own session bus, session manager and pulse service; clients reach it through PULSE_SERVER
h_start_pipewire() {
    local dir=$H_DIR/pipewire
    mkdir -p "$dir/run"
    chmod 700 "$dir/run"
    export XDG_RUNTIME_DIR=$dir/run PIPEWIRE_RUNTIME_DIR=$dir/run
    export DBUS_SESSION_BUS_ADDRESS=unix:path=$dir/bus
    h_spawn dbus env HOME="$dir" dbus-daemon --session --nofork --address="$DBUS_SESSION_BUS_ADDRESS"
    h_until 10 test -S "$dir/bus" || h_fail "the session bus did not start"
    h_spawn pipewire env HOME="$dir" pipewire
    h_until 10 test -S "$dir/run/pipewire-0" || h_fail "PipeWire did not start: $(tail -n 3 "$H_DIR/pipewire.err")"
    # no Bluetooth: its logind monitor needs /run/systemd, and without it WirePlumber stops
    mkdir -p "$dir/config/wireplumber/bluetooth.lua.d"
    echo '-- no Bluetooth in a private test server' \
        >"$dir/config/wireplumber/bluetooth.lua.d/90-enable-all.lua"
    h_spawn wireplumber env HOME="$dir" XDG_CONFIG_HOME="$dir/config" wireplumber
    h_spawn pipewire-pulse env HOME="$dir" pipewire-pulse
    PULSE_SERVER=unix:$dir/run/pulse/native
    export PULSE_SERVER
    h_until 10 pactl info || h_fail "PipeWire's pulse service did not start"
    pactl load-module module-null-sink sink_name=speakers >/dev/null
    pactl load-module module-null-sink sink_name=mic media.class=Audio/Source/Virtual \
        channel_map=mono >/dev/null
    h_until 10 eval 'pactl set-default-sink speakers && pactl set-default-source mic' ||
        h_fail "PipeWire's session manager did not take the default devices"
}

# h_play NAME SOX_ARGS...: play sound generated by sox into the null sink, in the background
h_play() {
    h_need sox sox
    local name=$1
    shift
    sox -q -n -r 44100 -c 1 -b 16 -e signed -t raw "$H_DIR/$name.raw" "$@"
    h_play_raw "$name"
}

# h_play_file NAME FILE [SOX_EFFECTS...]: play a sound file (any sox reads), in the background
h_play_file() {
    h_need sox sox
    local name=$1 file=$2
    shift 2
    sox -q "$file" -r 44100 -c 1 -b 16 -e signed -t raw "$H_DIR/$name.raw" "$@"
    h_play_raw "$name"
}

h_play_raw() {
    h_need pacat pulseaudio-utils
    h_spawn "$1" pacat --playback --raw --rate=44100 --channels=1 --format=s16le \
        --latency-msec=50 "$H_DIR/$1.raw"
    PLAY_PID=$H_SPAWNED
}

h_start_lumora() {
    h_spawn lumora "$LUMORA" "$@"
    LUMORA_PID=$H_SPAWNED
}

# h_find_window [SECONDS]: the id of lumora's window, once it is mapped; waits up to 20 s (or as
# long as asked: lumora under valgrind starts many times slower), times h_busy
h_find_window() {
    local limit=$((${1:-20} * $(h_busy))) end
    end=$(($(date +%s) + limit))
    while [ "$(date +%s)" -le "$end" ]; do
        WIN=$(xdotool search --onlyvisible --name '.' 2>/dev/null | head -n 1) || true
        if [ -n "$WIN" ]; then
            # with no window manager the toolkit leaves new windows at -1, -1, a pixel off the
            # screen; place it on the screen as a window manager would
            xdotool windowmove --sync "$WIN" 0 0 2>/dev/null || xdotool windowmove "$WIN" 0 0
            return 0
        fi
        kill -0 "$LUMORA_PID" 2>/dev/null || h_fail "lumora ended before its window appeared"
        sleep 0.05
    done
    h_fail "no lumora window within $limit s"
}

h_title() { xdotool getwindowname "$WIN"; }

# h_geometry: the window's size as WIDTHxHEIGHT
h_geometry() {
    xwininfo -id "$WIN" | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'
}

h_screen() { xwininfo -root | awk '/Width:/ {w=$2} /Height:/ {h=$2} END {print w "x" h}'; }

# h_key KEYSYM...: type keys into lumora's window
h_key() {
    xdotool windowfocus --sync "$WIN" 2>/dev/null || xdotool windowfocus "$WIN"
    xdotool key --clearmodifiers "$@"
}

h_shot() { "$XPROBE" shot "$WIN" "$1"; }

# h_waves NAME: a screenshot, measured into the variables lit (share of lit pixels), max (the
# brightest channel), crests and troughs (the turns of the lit area's upper and lower edges)
h_waves() {
    h_shot "$H_DIR/$1.ppm"
    eval "$("$XPROBE" waves "$H_DIR/$1.ppm")"
}

# h_lit NAME: the window shows something bright (for h_until)
h_lit() {
    h_waves "$1" && [ "$max" -ge 100 ]
}

# h_cpu_ticks: the processor time lumora has used so far, all threads, in clock ticks
h_cpu_ticks() { awk '{print $14 + $15}' "/proc/$LUMORA_PID/stat"; }

# h_wait_exit SECONDS: wait for lumora to end (times h_busy); its status lands in LUMORA_STATUS
h_wait_exit() {
    local limit=$(($1 * $(h_busy))) i
    for i in $(seq $((limit * 20))); do
        if ! kill -0 "$LUMORA_PID" 2>/dev/null; then
            LUMORA_STATUS=0
            wait "$LUMORA_PID" || LUMORA_STATUS=$?
            return 0
        fi
        sleep 0.05
    done
    return 1
}

h_geometry_is() { [ "$(h_geometry)" = "$1" ]; }

# h_expect_geometry SIZE SECONDS: the window reaches that size in time (read again each try)
h_expect_geometry() {
    h_until "${2:-5}" h_geometry_is "$1" || h_fail "window is $(h_geometry), expected $1"
}

# h_peek NAME [TYPE [OFFSET]]: a file-scope variable of the running lumora (or a field of it,
# OFFSET bytes in), read from its memory through /proc without stopping it (a debugger would stop
# it, and that frame's long time would make the detail control lower the detail). TYPE is od's:
# d4 for an int (the default), f8 for a double.
h_peek() {
    local off base
    off=$(nm "$LUMORA" 2>/dev/null | awk -v s="_ZL${#1}$1" '$3 == s {print $1; exit}')
    base=$(awk -v exe="$(readlink -f "$LUMORA")" '$6 == exe {sub(/-.*/, "", $1); print $1; exit}' \
        "/proc/$LUMORA_PID/maps" 2>/dev/null)
    [ -n "$off" ] && [ -n "$base" ] || return 1
    dd if="/proc/$LUMORA_PID/mem" bs=8 count=1 iflag=skip_bytes skip=$((0x$base + 0x$off + ${3:-0})) \
        2>/dev/null | od -An -t"${2:-d4}" | awk '{print $1}'
}

# The picture's state, the fields of lumora's `pic` (the unit tests hold their offsets): the
# detail (vertex steps across the window), the running volume, the global hue (it turns every
# frame) and the silent frames in a row.
h_detail() { h_peek pic d4 0; }
h_volume() { h_peek pic f8 8; }
h_hue() { h_peek pic f8 16; }
h_silent_frames() { h_peek pic d4 24; }

# h_detail_at_least N: the detail is N or more
h_detail_at_least() { [ "$(h_detail)" -ge "$1" ]; }

# h_title_updates N SECONDS: waits until lumora has set its title N times, for at most that long
# (times h_busy); says how many times it did
h_title_updates() {
    local n
    # xprop first prints the current value, then a line for each change
    n=$(timeout $(($2 * $(h_busy))) xprop -spy -id "$WIN" WM_NAME 2>/dev/null |
        head -n $(($1 + 1)) | wc -l) || true
    echo $((n > 0 ? n - 1 : 0))
}

h_hue_is_not() { [ "$(h_hue)" != "$1" ]; }

# h_expect_frames WHAT: lumora is alive and completing frames: its hue turns within 5 s (a frame
# of every wave tall at full screen takes a second on a busy machine)
h_expect_frames() {
    kill -0 "$LUMORA_PID" 2>/dev/null || h_fail "$1: lumora has ended"
    local a
    a=$(h_hue)
    [ -n "$a" ] && h_until 5 h_hue_is_not "$a" || h_fail "$1: no frame completed (hue $a, then $(h_hue))"
}
