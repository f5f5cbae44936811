#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The Debian package: built by CPack, it declares the runtime libraries, carries the binary,
# desktop entry, icon, man page and AppStream entry, passes Debian's checks, installs with
# dpkg -i and the installed lumora runs.
# As root it installs for real (and removes the package again unless it was there before);
# otherwise it unpacks into a scratch folder and runs the binary from there.
set -eu
build=${1:?usage: package.sh BUILD_DIR}
scratch=$(mktemp -d "${TMPDIR:-/tmp}/lumora-deb.XXXXXX")
(cd "$build" && cpack -G DEB -B "$scratch" >"$scratch/cpack.log" 2>&1) || {
    cat "$scratch/cpack.log" >&2
    echo "FAIL: cpack could not build the package" >&2
    exit 1
}
deb=$(ls "$scratch"/lumora_*.deb)
echo "built $(basename "$deb")"

depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
for lib in libportaudio2 libfftw3-double3 libglut libgl1 libavcodec libegl1; do
    case "$depends" in *"$lib"*) ;; *)
        echo "FAIL: the package does not depend on $lib" >&2
        exit 1
        ;;
    esac
done
contents=$(dpkg-deb -c "$deb")
for f in ./usr/bin/lumora ./usr/bin/lumora-render ./usr/share/man/man1/lumora-render.1.gz \
    ./usr/bin/lumora-stream ./usr/share/man/man1/lumora-stream.1.gz \
    ./usr/lib/systemd/system/lumora-stream@.service ./usr/share/lumora/stream-example.conf \
    ./usr/share/applications/lumora.desktop \
    ./usr/share/icons/hicolor/scalable/apps/lumora.svg ./usr/share/man/man1/lumora.1.gz \
    ./usr/share/metainfo/invalid.lumora.lumora.metainfo.xml ./usr/share/doc/lumora/copyright; do
    grep -q " $f\$" <<<"$contents" || {
        echo "FAIL: the package lacks $f" >&2
        exit 1
    }
done
echo "ok: the package declares its libraries and carries the three programs, desktop entry, icon, man pages and service"

# What Debian's tools and software centres check, each where it is installed: the package
# (lintian, errors and warnings), the AppStream entry, the desktop entry and the man page.
dpkg-deb -x "$deb" "$scratch/files"
check() {
    local tool=$1
    shift
    if ! command -v "$tool" >/dev/null 2>&1; then
        echo "note: $tool is not installed, so that check is left out"
        return 0
    fi
    "$@" >"$scratch/$tool.log" 2>&1 || {
        cat "$scratch/$tool.log" >&2
        echo "FAIL: $*" >&2
        exit 1
    }
    echo "ok: $tool"
}
check lintian lintian --fail-on error,warning "$deb"
check appstreamcli appstreamcli validate --no-net \
    "$scratch/files/usr/share/metainfo/invalid.lumora.lumora.metainfo.xml"
check desktop-file-validate desktop-file-validate "$scratch/files/usr/share/applications/lumora.desktop"
# one page a call: mandoc 1.14 takes only the first of several gzipped files for gzipped
for page in lumora lumora-render lumora-stream; do
    check mandoc mandoc -Tlint "$scratch/files/usr/share/man/man1/$page.1.gz"
done
# the service as systemd reads it, with the program it starts where the package puts it
if command -v systemd-analyze >/dev/null 2>&1; then
    sed "s|/usr/bin/lumora-stream|$scratch/files/usr/bin/lumora-stream|" \
        "$scratch/files/usr/lib/systemd/system/lumora-stream@.service" >"$scratch/lumora-stream@.service"
    systemd-analyze verify --man=no "$scratch/lumora-stream@.service" >"$scratch/unit.log" 2>&1 || {
        cat "$scratch/unit.log" >&2
        echo "FAIL: systemd-analyze verify lumora-stream@.service" >&2
        exit 1
    }
    echo "ok: systemd-analyze verify lumora-stream@.service"
fi

if [ "$(id -u)" = 0 ]; then
    was_installed=$(dpkg-query -W -f='${Status}' lumora 2>/dev/null | grep -c 'ok installed' || true)
    dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1 || {
        cat "$scratch/dpkg.log" >&2
        echo "FAIL: dpkg -i failed" >&2
        exit 1
    }
    binary=/usr/bin/lumora
    render=/usr/bin/lumora-render
    [ "$was_installed" = 1 ] || undo="dpkg -r lumora"
    man -w lumora >/dev/null 2>&1 || [ -f /usr/share/man/man1/lumora.1.gz ] ||
        echo "note: the man page is not where man looks"
else
    dpkg-deb -x "$deb" "$scratch/root"
    binary=$scratch/root/usr/bin/lumora
    render=$scratch/root/usr/bin/lumora-render
    echo "note: not root, so the package was unpacked rather than installed"
fi

# Each program loads only its own concerns' libraries: the window no FFmpeg, EGL or x264, and
# lumora-render neither PortAudio nor the window's toolkit; nor does lumora-stream, which hears the
# default input through FFmpeg's device library (and GLX comes with that library).
stream=$(dirname "$render")/lumora-stream
for pair in "$binary:libav libsw libEGL libx264" "$render:libportaudio libglut libGLX" \
    "$stream:libportaudio libglut"; do
    program=${pair%%:*}
    loaded=$(ldd "$program")
    for lib in ${pair#*:}; do
        if grep -q "$lib" <<<"$loaded"; then
            echo "FAIL: $program loads $(grep -m1 "$lib" <<<"$loaded" | awk '{print $1}')" >&2
            exit 1
        fi
    done
done
echo "ok: the window loads no FFmpeg, EGL or x264, lumora-render no PortAudio, freeglut or GLX, lumora-stream no PortAudio or freeglut"

. "$(dirname "$0")/../../scripts/harness.sh" "$binary"
trap '${undo:-true} >/dev/null 2>&1 || true; rm -rf "$scratch"; h_cleanup' EXIT
h_start_x
h_start_pulse
h_play tone synth 10 sine 1000 vol 0.5
h_start_lumora
h_find_window
sleep 1.5
h_key Escape
h_wait_exit 3 || h_fail "the installed lumora did not end on Esc"
[ "$LUMORA_STATUS" = 0 ] || h_fail "the installed lumora exited $LUMORA_STATUS"
h_ok "the installed $binary runs and ends with status 0"

# the installed lumora-render draws a picture with no display at all
sox -q -n -r 44100 "$H_DIR/tone.wav" synth 1 sine 1000 vol 0.5
env -u DISPLAY "$render" "$H_DIR/tone.wav" "$H_DIR/tone.png" --size 320x180 2>"$H_DIR/render.err" ||
    h_fail "the installed lumora-render failed: $(cat "$H_DIR/render.err")"
[ -s "$H_DIR/tone.png" ] || h_fail "the installed lumora-render wrote no picture"
h_ok "the installed $render draws a picture without a display"

# Every lumora-render command the README and the man page show, exactly as written, with the
# installed lumora-render first on the PATH and songs of the names they use: the live recording
# has the length its example needs, mostly silence, which the picture rests through.
top=$(cd "$(dirname "$0")/../.." && pwd)
mkdir "$H_DIR/readme"
cd "$H_DIR/readme"
ffmpeg -v error -f lavfi -i "sine=f=440:d=4" -c:a libvorbis song.ogg
ffmpeg -v error -f lavfi -i "sine=f=660:d=70" song.flac
ffmpeg -v error -f lavfi -i "sine=f=330:d=2" mix.flac
ffmpeg -v error -f lavfi -i "sine=f=550:d=95" -f lavfi -i "color=red:s=64x64:d=1" -map 0 -map 1 \
    -c:v png -frames:v 1 -disposition:v attached_pic -metadata title=Song -metadata artist=Someone \
    song.mp3
printf '1\n00:01:05,000 --> 00:01:08,000\nA caption.\n' >song.srt
ffmpeg -v error -f lavfi -i "color=black:s=160x90:d=165" -f lavfi -i "sine=d=1" \
    -af apad -t 165 -c:v libx264 -preset ultrafast -c:a flac live.mkv
{
    sed -n 's/^    \(lumora-render .*\)/\1/p' "$top/README.md"
    sed -n '/^\.EX/,/^\.EE/ { /^lumora-render/ { s/\\-/-/g; p } }' "$top/data/lumora-render.1"
} | sort -u >commands
[ "$(grep -c . commands)" -ge 4 ] || h_fail "found too few commands: $(cat commands)"
while read -r command; do
    PATH=$(dirname "$render"):$PATH bash -c "$command" 2>render.err ||
        h_fail "'$command' as written: $(cat render.err)"
done <commands
h_ok "the README's and the man page's $(grep -c . commands) lumora-render commands work as written"
