#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# How fast lumora-render draws music-like sound into an .mp4, with each painter, side by side with
# FFmpeg's own showwaves and showspectrum filters making a video of the same file at the same
# size, in one run. Prints frames a second, speed against real time, and the share of the time
# lumora-render spent drawing. Not part of the test run:
#   [PAINTERS="cpu gl"] tests/bench/render_bench.sh build/lumora-render [SECONDS [WxH [DETAIL...]]]
# DETAIL "full" is the width. The defaults: 60 s, 1280x720, the default detail and full detail,
# the processor's painter and OpenGL's.
set -eu
render=${1:?usage: render_bench.sh LUMORA_RENDER [SECONDS [WxH [DETAIL...]]]}
seconds=${2:-60}
size=${3:-1280x720}
shift $(($# < 3 ? $# : 3))
details=${*:-default full}
painters=${PAINTERS:-cpu gl}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
bash "$(dirname "$0")/../e2e/music.sh" "$tmp/music.wav" "$seconds"
frames=$((seconds * 30))

# run NAME COMMAND...: times a command and prints its line of the table
run() {
    local name=$1 start took
    shift
    start=$(date +%s%N)
    "$@" 2>"$tmp/err" || { cat "$tmp/err" >&2; exit 1; }
    took=$((($(date +%s%N) - start) / 1000000))
    awk -v n="$name" -v ms="$took" -v f="$frames" -v s="$seconds" \
        -v share="$(sed -n 's/.*drawing took \([0-9]*\) %.*/\1 %/p' "$tmp/err")" \
        'BEGIN { printf "%-28s %8.1f s %8.2f fps %8.3fx real time   %s\n", n, ms / 1000, f / (ms / 1000), s / (ms / 1000), share }'
}

echo "$seconds s of music-like sound at $size, 30 frames a second:"
for d in $details; do
    for p in $painters; do
        case $d in
        default) run "lumora-render, $p" "$render" "$tmp/music.wav" "$tmp/out.mp4" --size "$size" --renderer "$p" ;;
        full) run "lumora-render, $p, full detail" "$render" "$tmp/music.wav" "$tmp/out.mp4" --size "$size" --detail "${size%x*}" --renderer "$p" ;;
        *) run "lumora-render, $p, detail $d" "$render" "$tmp/music.wav" "$tmp/out.mp4" --size "$size" --detail "$d" --renderer "$p" ;;
        esac
    done
done
for filter in "showwaves=s=$size:mode=cline:rate=30" "showspectrum=s=$size:slide=scroll"; do
    run "ffmpeg ${filter%%=*}" ffmpeg -v error -y -i "$tmp/music.wav" -filter_complex \
        "[0:a]$filter,fps=30,format=yuv420p[v]" -map "[v]" -map 0:a -c:v libx264 -crf 20 \
        -c:a aac -movflags +faststart "$tmp/ff.mp4"
done
