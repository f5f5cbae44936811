#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs the Debian/Ubuntu packages lumora needs, only those that are missing, then builds.
# Usage: scripts/setup.sh run|test     (run: what the program needs; test: also what the tests need)
set -euo pipefail
cd "$(dirname "$0")/.."

# dpkg-dev and file let CPack build the Debian package with its dependencies; lumora-render
# decodes and encodes with FFmpeg's libraries and draws through EGL on a GPU; the processor's
# painter uses Highway for its vector units and oneTBB for its threads; the window shows its
# picture through OpenGL, Mesa's software renderer (libgl1-mesa-dri) where there is no GPU;
# titles and captions are drawn with libass, in DejaVu and Droid Sans Fallback; lumora-stream hears
# the default input through FFmpeg's ALSA device and tells systemd's watchdog it is alive
build_pkgs="cmake g++ make pkg-config portaudio19-dev libfftw3-dev freeglut3-dev libgl-dev
    libx11-dev dpkg-dev file libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
    libavfilter-dev libegl-dev libopengl-dev libgl1-mesa-dri libhwy-dev libtbb-dev libswscale-dev
    libass-dev fonts-dejavu-core fonts-droid-fallback libavdevice-dev libsystemd-dev"
# a machine without a display or microphone shows lumora's demo through lumora-render: sox makes
# the demo sound, ffmpeg the animated picture, xdpyinfo tells whether there is a display
demo_pkgs="sox ffmpeg x11-utils"
# the end-to-end tests run the real window and sound in private X and sound servers
test_pkgs="xvfb xdotool libx11-dev pulseaudio pulseaudio-utils libasound2-plugins imagemagick
    libgtest-dev libgmock-dev libbenchmark-dev clang-format espeak-ng valgrind gdb lintian appstream
    desktop-file-utils mandoc python3 parallel openssh-client curl"
# the tests of rendering on many machines start an sshd and a one-node Slurm of their own, and
# those of streaming an nginx with its RTMP module and an icecast2, on loopback; these packages
# would also start the machine's own daemons where services run (systemd), so there they are left
# out, and those tests say so
test_daemons="openssh-server munge slurmctld slurmd slurm-client nginx libnginx-mod-rtmp icecast2"

case "${1:-}" in
run)
    want="$build_pkgs $demo_pkgs"
    tests=OFF
    ;;
test)
    want="$build_pkgs $demo_pkgs $test_pkgs"
    [ -d /run/systemd/system ] || want="$want $test_daemons"
    tests=ON
    ;;
*)
    echo "usage: $0 run|test" >&2
    exit 2
    ;;
esac

# shellcheck disable=SC2086
want=$(echo $want) # one line, one space between names

installed() { case "$(dpkg-query -W -f='${Status}' "$1" 2>/dev/null)" in *"ok installed") ;; *) return 1 ;; esac; }

# A desktop whose sound server is PipeWire keeps it: pulseaudio, which the headless demo and the
# tests run privately, would remove pipewire-alsa and compete with pipewire-pulse.
if ! installed pulseaudio && { installed pipewire-alsa || installed pipewire-pulse; }; then
    want=$(echo " $want " | sed 's/ pulseaudio / /')
    echo "lumora: this system's sound server is PipeWire, so pulseaudio is not installed; the" \
        "headless demo and the tests that need a private PulseAudio server will say so" >&2
fi

missing=""
for p in $want; do
    installed "$p" || missing="$missing $p"
done

if [ -n "$missing" ]; then
    if ! command -v apt-get >/dev/null 2>&1; then
        echo "lumora needs these packages, and this system has no apt-get:$missing" >&2
        exit 1
    fi
    if [ "$(id -u)" = 0 ]; then
        as_root=""
    elif command -v sudo >/dev/null 2>&1; then
        as_root="sudo"
    else
        echo "lumora needs these packages; as root, run: apt-get update && apt-get install$missing" >&2
        exit 1
    fi
    echo "installing:$missing"
    # env, because sudo leaves the caller's environment behind
    apt() { $as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
    echo "lumora: updating the package lists"
    apt -qq update
    # apt works for a minute or more: a line for every tenth of the packages it fetches and sets
    # up says it is not hung. apt says it delays package configuration when apt-utils is missing,
    # whatever the frontend: nothing to act on, so that line is left out.
    # shellcheck disable=SC2086
    total=$(apt -s install -y --no-install-recommends $missing 2>/dev/null | grep -c '^Inst ' || true)
    echo "lumora: fetching and setting up $total packages"
    # shellcheck disable=SC2086
    apt -q -o Dpkg::Use-Pty=0 install -y --no-install-recommends $missing 2>&1 |
        awk -v total="$total" '
            function say(what, n) {
                if (total > 0 && int(10 * n / total) > int(10 * (n - 1) / total))
                    printf "lumora: %s %d of %d packages\n", what, n, total
            }
            /^Get:/ { say("fetched", ++got); next }
            /^Setting up / { say("set up", ++done); next }
            /^(E:|W:|dpkg:|debconf: [^d])/ { print > "/dev/stderr" }'
fi

werror=OFF
[ -n "${CI:-}" ] && werror=ON
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo -DLUMORA_WERROR=$werror -DLUMORA_TESTS=$tests \
    >/dev/null
cmake --build build -j "$(nproc)"
