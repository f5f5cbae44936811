#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# lumora-render as a user runs it, with no display and no sound server: the window's picture,
# byte for byte; a beat in the frame where it is heard; the four outputs as players and sites
# expect them; each bad input with its one line, its status and nothing left behind; Ctrl-C and
# SIGTERM; and memory that stays flat through a long input.
. "$(dirname "$0")/../../scripts/harness.sh"
RENDER=$LUMORA
h_need sox sox
h_need ffprobe ffmpeg
h_need convert imagemagick
h_need espeak-ng espeak-ng
cd "$H_DIR"
mkdir work
# render ARGS...: lumora-render, with its standard error in render.err and its status in status
render() {
    status=0
    "$RENDER" "$@" 2>render.err || status=$?
}

# The same picture: a window under Xvfb and lumora-render at 20 frames a second, the window's own
# pace, draw the same frames from the same blocks, at the same size and detail, to the byte, with
# either painter: a tone, noise, and music with a silence in which the picture rests (frame 19)
# before it comes back.
h_start_x 1280x720
sox -q -n -r 44100 -c 1 -b 16 tone.wav synth 0.6 sine 1000 vol 0.5
sox -q -n -r 44100 -c 1 -b 16 noise.wav synth 0.6 whitenoise vol 0.5
bash "$(dirname "$0")/music.sh" bar.wav 2
sox -q bar.wav m1.wav trim 0.2 0.4
sox -q -n -r 44100 -c 1 -b 16 gap.wav trim 0 0.6
sox -q m1.wav gap.wav m1.wav music.wav
for painter in cpu gl; do
    for s in tone:2:6:11 noise:2:6:11 music:4:14:19:27; do
        name=${s%%:*}
        frames=${s#*:}
        sox -q "$name.wav" -t raw "$name.raw"
        # shellcheck disable=SC2086
        LUMORA_RENDERER=$painter "$PAINT_FRAMES" window "$name.raw" 480 270 96 20 . ${frames//:/ } ||
            h_fail "the window could not draw $name"
        for n in ${frames//:/ }; do
            render "$name.wav" "$name$n.png" --size 480x270 --detail 96 --renderer $painter \
                --fps 20 --at "$(awk -v n="$n" 'BEGIN { printf "%.6f", n / 20 }')"
            [ "$status" = 0 ] || h_fail "$name frame $n: status $status: $(cat render.err)"
            convert "$name$n.png" "$name$n.ppm"
            cmp -s "$name$n.ppm" "frame$n.ppm" ||
                h_fail "$painter: $name frame $n: $(cmp -l "$name$n.ppm" "frame$n.ppm" | wc -l) bytes differ from the window's"
        done
    done
    h_ok "$painter painter: tone, noise and music: lumora-render's frames are the window's, byte for byte"
done
# The two painters agree over a stream of pictures, not only at its start: 3 s into music, their
# stills differ in a few bytes by one step. (llvmpipe's shortcut for tiles that only the fade
# covers halved a channel of 1 to 1, so trails ended in 1 there and in 0 on the processor: 2142
# bytes of 172800 differed.)
bash "$(dirname "$0")/music.sh" agree.wav 4
for painter in cpu gl; do
    render agree.wav "agree-$painter.png" --size 320x180 --at 3 --renderer $painter
    [ "$status" = 0 ] || h_fail "the $painter painter at 3 s: status $status: $(cat render.err)"
    convert "agree-$painter.png" "agree-$painter.ppm"
done
differ=$(cmp -l agree-cpu.ppm agree-gl.ppm | wc -l)
# (cmp -l gives the bytes in octal)
[ "$differ" -le 20 ] && cmp -l agree-cpu.ppm agree-gl.ppm | awk '
    function dec(o, n, i) { for (i = 1; i <= length(o); ++i) n = n * 8 + substr(o, i, 1); return n }
    { d = dec($2) - dec($3); if (d > 1 || d < -1) far = 1 } END { exit far }' ||
    h_fail "3 s into music the painters' stills differ in $differ bytes"
h_ok "3 s into music the painters' stills differ in $differ bytes, by one step"

# A still late in a song is drawn after every picture before it, as the window draws them: the
# sound is read in order. (Decoded ahead to the still's time first, the pictures before it read
# sound the 23.8 s the decoder keeps had let go: from 24 s on they rested in a silence of their
# own, and the hue and the trails were wrong.)
bash "$(dirname "$0")/music.sh" late.wav 27
sox -q late.wav -t raw late.raw
"$PAINT_FRAMES" window late.raw 64 36 16 20 . 520 || h_fail "the window could not draw late.wav"
render late.wav late.png --size 64x36 --detail 16 --fps 20 --at 26
convert late.png late.ppm
cmp -s late.ppm frame520.ppm ||
    h_fail "at 26 s: $(cmp -l late.ppm frame520.ppm | wc -l) bytes differ from the window's"
h_ok "a still at 26 s is the window's picture then, byte for byte"

# A beat is seen when it is heard: a click at 1.5 s lights frame 45 at 30 frames a second (one
# frame either way allowed), and frame 15 of a video that starts at 1 s.
sox -q -n -r 44100 -c 1 -b 16 click.wav synth 0.004 sine 2000 pad 1.5 1.496
first_lit() { # the first frame of a video whose brightest pixel is bright
    ffmpeg -v error -i "$1" -vf "signalstats,metadata=print:key=lavfi.signalstats.YMAX:file=-" \
        -f null - | awk -F'[:= ]+' '/^frame/ { n = $2 } /YMAX/ && $2 > 60 { print n; exit }'
}
for case in ":45" "--from 1:15"; do
    # shellcheck disable=SC2086
    render click.wav click.mp4 --size 320x180 ${case%:*}
    [ "$status" = 0 ] || h_fail "the click: status $status: $(cat render.err)"
    lit=$(first_lit click.mp4)
    want=${case#*:}
    [ -n "$lit" ] && [ "$lit" -ge $((want - 1)) ] && [ "$lit" -le $((want + 1)) ] ||
        h_fail "a click at 1.5 s first lights frame '${lit:-none}' ${case%:*}, not $want"
done
h_ok "a click at 1.5 s is in frame 45 (and 15 from 1 s on), as it is heard"

# The same look at any frame rate: the picture moves 20 times a second whatever --fps says, and a
# frame between two pictures mixes them. A frame at a picture's time is that picture, to the
# byte, at 15, 20, 30 and 60 frames a second (so the hue, the trails and the brightness there are
# the same); and after the music stops, the picture fades in the same time at 30 as at 60 frames
# a second. Between two pictures the mix lies between them, so the first frame at 60 that is
# dimmer than the threshold comes at most one picture (50 ms) and one frame before or after the
# one at 30. Caught first: frames that each moved the picture, whose trails at 60 lasted a
# quarter of those at 15.
sox -q bar.wav tail.wav trim 0 1.5 pad 0 1
for fps in 15 30 60; do
    for t in 0.6 1.4; do
        render tail.wav "look$fps-$t.png" --size 320x180 --fps $fps --at $t
        [ "$status" = 0 ] || h_fail "the look at $fps: status $status: $(cat render.err)"
    done
done
for fps in 15 30 60; do
    for t in 0.6 1.4; do
        render tail.wav "look20-$t.png" --size 320x180 --fps 20 --at $t
        cmp -s "look20-$t.png" "look$fps-$t.png" ||
            h_fail "at $t s, the frame at $fps frames a second is not the picture at 20"
    done
done
# dark_after FILE: the time, in ms, of the first frame after 1.5 s whose brightest pixel is under
# a sixteenth of what the picture showed at 1.5 s
dark_after() {
    ffmpeg -v error -i "$1" -vf "signalstats,metadata=print:key=lavfi.signalstats.YMAX:file=-" \
        -f null - | awk -F'[:= ]+' -v fps="$2" '/^frame/ { n = $2 } /YMAX/ {
            t = n / fps; y = $2 - 16
            if (t >= 1.5 && top == "") top = y
            else if (top != "" && y < top / 16) { printf "%d", (t - 1.5) * 1000; exit } }'
}
for fps in 30 60; do
    render tail.wav "tail$fps.mp4" --size 320x180 --fps $fps
    [ "$status" = 0 ] || h_fail "the tail at $fps: status $status: $(cat render.err)"
    eval "dark$fps=\$(dark_after tail$fps.mp4 $fps)"
done
[ -n "$dark30" ] && [ -n "$dark60" ] && [ $((dark30 - dark60)) -le 67 ] && [ $((dark60 - dark30)) -le 67 ] ||
    h_fail "the trail fades in ${dark30:-never} ms at 30 frames a second, ${dark60:-never} ms at 60"
h_ok "15, 30 and 60 frames a second show the pictures of 20, and the trail fades in $dark30 ms at 30, $dark60 ms at 60"

# The outputs, from a stereo sound at 48 kHz whose channels differ: each carries its pictures and
# the input's own two channels, and says nothing but what drew it and what it wrote.
sox -q -G -M bar.wav tone.wav -r 48000 stereo.flac remix 1 2 trim 0 1
probe() {
    ffprobe -v error -show_entries stream=codec_name,pix_fmt,width,height,channels,sample_rate \
        -of csv=p=0 "$1" | tr '\n' ' '
}
for out in mp4:"h264,320,180,yuv420p aac,48000,2" webm:"vp9,320,180,yuv420p opus,48000,2" \
    mkv:"h264,320,180,yuv420p flac,48000,2"; do
    ext=${out%%:*}
    render stereo.flac "work/out.$ext" --size 320x180
    [ "$status" = 0 ] || h_fail ".$ext: status $status: $(cat render.err)"
    got=$(probe "work/out.$ext")
    case " $got" in *" ${out#*:}"*) ;; *) h_fail ".$ext carries '$got'" ;; esac
    length=$(ffprobe -v error -show_entries format=duration -of csv=p=0 "work/out.$ext")
    awk -v l="$length" 'BEGIN { exit !(l > 0.95 && l < 1.1) }' || h_fail ".$ext lasts $length s"
    [ "$(wc -l <render.err)" = 2 ] && grep -q '^lumora-render: drawing with ' render.err &&
        ! grep -q 'AVX3' render.err &&
        grep -q "^lumora-render: wrote work/out.$ext: 30 frames" render.err ||
        h_fail ".$ext: off a terminal, expected the renderer's line and one summary: $(cat render.err)"
done
# the index before the data, so that a browser plays it while it downloads
moov=$(grep -boa moov work/out.mp4 | head -n 1 | cut -d: -f1)
mdat=$(grep -boa mdat work/out.mp4 | head -n 1 | cut -d: -f1)
[ "$moov" -lt "$mdat" ] || h_fail "the .mp4's index (at $moov) comes after its data (at $mdat)"
# a .gif: its pictures alone, through one palette, at 15 frames a second unless told
render stereo.flac work/out.gif --size 161x91
gif=$(ffprobe -v error -count_frames -show_entries stream=codec_name,width,height,nb_read_frames \
    -of csv=p=0 work/out.gif)
[ "$status" = 0 ] && [ "$gif" = "gif,161,91,15" ] && [ "$(ffprobe -v error -show_entries \
    stream=codec_type -of csv=p=0 work/out.gif)" = video ] ||
    h_fail ".gif: status $status, '$gif': $(cat render.err)"
ffmpeg -v error -i work/out.gif -vf "signalstats,metadata=print:key=lavfi.signalstats.YMAX:file=-" \
    -f null - | awk -F= '/YMAX/ && $2 > 60 { lit = 1 } END { exit !lit }' ||
    h_fail "the .gif is dark throughout"
render stereo.flac work/out.png --size 321x181
[ "$status" = 0 ] && [ "$(probe work/out.png)" = "png,321,181,rgb24 " ] ||
    h_fail "the .png: status $status, '$(probe work/out.png)'"
h_ok ".mp4 (index first), .webm, .mkv with the input's two channels, a .gif, and an odd-sized .png"

# --lossless: a .mkv whose pictures are the painter's own bytes, of any size: its frame at 1 s is
# the .png at 1 s, byte for byte, with either painter
for painter in cpu gl; do
    render bar.wav work/lossless.mkv --lossless --size 321x181 --renderer $painter
    [ "$status" = 0 ] && [ "$(probe work/lossless.mkv)" = "ffv1,321,181,bgr0 flac,44100,1 " ] ||
        h_fail "--lossless with $painter: status $status, '$(probe work/lossless.mkv)': $(cat render.err)"
    render bar.wav work/at1.png --at 1 --size 321x181 --renderer $painter
    ffmpeg -v error -i work/lossless.mkv -vf 'select=eq(n\,30)' -frames:v 1 -f rawvideo \
        -pix_fmt rgb24 -y work/frame30.rgb
    ffmpeg -v error -i work/at1.png -f rawvideo -pix_fmt rgb24 -y work/at1.rgb
    [ -s work/at1.rgb ] && cmp -s work/frame30.rgb work/at1.rgb ||
        h_fail "--lossless with $painter: the frame at 1 s is not the picture at 1 s"
done
render bar.wav work/lossy.mp4 --lossless
[ "$status" = 2 ] && grep -q 'lumora-render: --lossless is for a .mkv' render.err ||
    h_fail "--lossless into .mp4: status $status, $(cat render.err)"
h_ok "--lossless: a .mkv of any size in FFV1, whose frames are the pictures to the byte"

# Segments: --frames A:B --no-sound makes frames A to B - 1 of the whole render, to the byte
# (compared losslessly), and its trails and hue come back from before A: a segment from the start,
# one far in (past the pictures drawn before a segment), one shorter than those, one that starts
# in a silence and one that ends with the sound
bash "$(dirname "$0")/music.sh" long.wav 5
sox -q -n -r 44100 -c 1 -b 16 hush.wav trim 0 1
sox -q long.wav hush.wav long.wav parted.wav trim 0 9
md5s() { ffmpeg -v error -i "$1" -map 0:v -f framemd5 - | grep -v '^#' | awk -F, '{ print $NF }'; }
render parted.wav work/whole.mkv --lossless --no-sound --size 320x180
[ "$status" = 0 ] || h_fail "the whole lossless render: status $status: $(cat render.err)"
md5s work/whole.mkv >whole.md5
[ "$(wc -l <whole.md5)" = 270 ] || h_fail "the whole render has $(wc -l <whole.md5) frames, not 270"
for range in 0:40 100:190 130:133 152:200 240:270; do
    a=${range%:*} b=${range#*:}
    render parted.wav work/segment.mkv --lossless --no-sound --size 320x180 --frames "$range"
    [ "$status" = 0 ] || h_fail "--frames $range: status $status: $(cat render.err)"
    [ "$(ffprobe -v error -show_entries stream=codec_type -of csv=p=0 work/segment.mkv)" = video ] ||
        h_fail "--frames $range --no-sound carries more than its pictures"
    md5s work/segment.mkv >segment.md5
    sed -n "$((a + 1)),${b}p" whole.md5 | cmp -s - segment.md5 ||
        h_fail "--frames $range: $(wc -l <segment.md5) frames, not the whole render's $a to $((b - 1))"
done
# at 1280 x 720, a segment that starts in loud pink noise and one that starts in the music after
# it and runs to the end of the sound
sox -q -V1 -n -r 44100 -c 1 -b 16 pink.wav synth 1.5 pinknoise norm -1
sox -q -V1 pink.wav long.wav loud.wav trim 0 4
render loud.wav work/whole720.mkv --lossless --no-sound
md5s work/whole720.mkv >whole720.md5
for range in 40:80 80:; do
    render loud.wav work/segment.mkv --lossless --no-sound --frames "$range"
    a=${range%:*}
    md5s work/segment.mkv >segment.md5
    [ "$status" = 0 ] && [ "$(wc -l <whole720.md5)" = 120 ] &&
        sed -n "$((a + 1)),\$p" whole720.md5 | head -n "$(wc -l <segment.md5)" | cmp -s - segment.md5 &&
        { [ "$range" != 80: ] || [ "$(wc -l <segment.md5)" = 40 ]; } ||
        h_fail "--frames $range at 1280x720: status $status, $(wc -l <segment.md5) frames unlike the whole render's"
done
render parted.wav work/late.mkv --no-sound --frames 300:330
[ "$status" = 1 ] && grep -q '^lumora-render: --frames 300:330 starts past the end of the sound, at 0:09$' \
    render.err && [ ! -e work/late.mkv ] || h_fail "a segment past the end: status $status, $(cat render.err)"
# an .mp4 segment starts on a key frame, and says what it wrote
render parted.wav work/segment.mp4 --no-sound --size 320x180 --frames 152:200
[ "$status" = 0 ] && grep -q "wrote work/segment.mp4: 48 frames" render.err &&
    [ "$(ffprobe -v error -select_streams v -show_entries frame=pict_type -of csv=p=0 \
        work/segment.mp4 | head -n 1 | cut -d, -f1)" = I ] ||
    h_fail "an .mp4 segment: status $status, $(cat render.err)"
h_ok "--frames A:B: the whole render's frames to the byte, from the start, far in, in a silence, in loud noise at 1280x720 and at the end"

# --plan and --join: the plan's segments, joined, are the whole render's pictures and its sound
# (the sound encoded once: each frame of it the same); a join that does not fit names the segment
# and writes nothing. Caught first: a Matroska segment's length, which counts from time 0, taken
# as its count of frames.
render parted.wav work/whole.mkv --lossless --size 320x180
"$RENDER" parted.wav work/joined.mkv --plan 3 --lossless --size 320x180 >plan.sh 2>render.err ||
    h_fail "--plan: $(cat render.err)"
[ "$(wc -l <plan.sh)" = 4 ] && grep -q -- '--frames 180: --no-sound' plan.sh &&
    sh plan.sh 2>render.err || h_fail "--plan 3: $(cat plan.sh render.err)"
for stream in v a; do
    for f in whole joined; do
        ffmpeg -v error -i work/$f.mkv -map 0:$stream -f framemd5 - | grep -v '^#' >$f.$stream.md5
    done
    [ -s whole.$stream.md5 ] && cmp -s whole.$stream.md5 joined.$stream.md5 ||
        h_fail "the joined $stream stream is not the whole render's"
done
# a playlist named as a segment is not opened, nor what it points at
printf '#EXTM3U\n#EXT-X-TARGETDURATION:10\n#EXTINF:10,\n%s\n#EXT-X-ENDLIST\n' \
    "$PWD/work/joined.part2of3.mkv" >work/list.mkv
cut=$(($(stat -c %s work/joined.part2of3.mkv) * 6 / 10))
head -c $cut work/joined.part2of3.mkv >work/cut.mkv
for bad in "work/joined.part1of3.mkv work/joined.part3of3.mkv:^lumora-render: work/joined.part3of3.mkv: starts at frame 180, but work/joined.part1of3.mkv ends at frame 89" \
    "work/joined.part1of3.mkv work/cut.mkv work/joined.part3of3.mkv:^lumora-render: work/cut.mkv: holds [0-9]+ frames, and its frames 90:180 are 90$" \
    "work/joined.part1of3.mkv work/whole.mkv:^lumora-render: work/whole.mkv: not a segment" \
    "work/joined.part1of3.mkv work/list.mkv:^lumora-render: work/list.mkv: cannot read it: not a .mp4, .mkv or .webm$"; do
    # shellcheck disable=SC2086
    render parted.wav work/bad.mkv --join ${bad%%:*}
    [ "$status" = 1 ] && grep -Eq "${bad#*:}" render.err && [ "$(wc -l <render.err)" = 1 ] &&
        [ -z "$(ls -A work | grep bad)" ] || h_fail "--join ${bad%%:*}: status $status, $(cat render.err)"
done
h_ok "--plan 3 and --join: the whole render's pictures and sound; a gap or a cut segment named"

# A video to share: a tagged .mp3 with its own cover, and speech with captions written for it,
# both after a second of silence, where the picture is black and only what lies over it shows.
# Caught first: with a title, the first caption never showed (libass keeps one event of each
# number, and both were 0).
# rows F.png Y0 Y1 X0 X1: how many pixels brighter than 128 lie in those rows and columns
bright() {
    convert "$1" -crop "$(($5 - $4))x$(($3 - $2))+$4+$2" +repage -colorspace gray -threshold 50% \
        -format '%[fx:round(mean*w*h)]' info:
}
sox -q -V1 -n -r 44100 -c 1 -b 16 quiet.wav trim 0 1
espeak-ng -w said.wav "Every frequency from forty hertz up, as a standing wave."
sox -q -V1 said.wav -r 44100 said44.wav
sox -q -V1 quiet.wav said44.wav speech.wav
convert -size 200x200 xc:'#d02020' -fill '#2040e0' -draw 'rectangle 100,0 199,199' cover.png
ffmpeg -v error -i speech.wav -i cover.png -map 0 -map 1 -c:a libmp3lame -c:v png \
    -disposition:v attached_pic -metadata title='Standing Waves' -metadata artist='Lumora' tagged.mp3
printf '1\n00:00:00,500 --> 00:00:00,900\nA second of silence.\n\n2\n00:00:01,000 --> 00:00:04,000\nEvery frequency from forty hertz up, as a standing wave.\n' >said.srt
render tagged.mp3 work/plain.png --size square --at 0.6
render tagged.mp3 work/shared.png --size square --at 0.6 --cover --title auto --captions said.srt
[ "$status" = 0 ] || h_fail "a square still with cover, title and captions: $(cat render.err)"
# the title at the top (from 7 % of the height), the captions at the bottom, nothing lit in the
# plain picture; the cover's two halves in the middle square (from 27 %, 40 % of the height)
[ "$(bright work/plain.png 0 1080 0 1080)" = 0 ] &&
    [ "$(bright work/shared.png 60 260 0 1080)" -gt 3000 ] &&
    [ "$(bright work/shared.png 900 1010 0 1080)" -gt 2000 ] ||
    h_fail "the title or the captions are not where they go: $(bright work/shared.png 60 260 0 1080), $(bright work/shared.png 900 1010 0 1080)"
colour() { convert "$1" -crop "1x1+$2+$3" -format '%[fx:round(255*r)],%[fx:round(255*g)],%[fx:round(255*b)]' info:; }
for at in "400 500 208,32,32" "680 500 32,64,224"; do
    set -- $at
    got=$(colour work/shared.png "$1" "$2")
    awk -v g="$got" -v w="$3" 'BEGIN { split(g, a, ","); split(w, b, ",")
        for (i = 1; i <= 3; i++) if ((a[i] - b[i]) ^ 2 > 36) exit 1 }' ||
        h_fail "the cover at $1,$2 is $got, not $3"
done
# Captions come and go at their times: in the silence, the frames either side of a caption's
# start (0.5 s, frame 15) and of its end (0.9 s, frame 27) differ only in its rows
render tagged.mp3 work/captioned.mkv --lossless --no-sound --size 640x360 --to 1 --captions said.srt
[ "$status" = 0 ] || h_fail "captions: $(cat render.err)"
for n in 14 15 26 27; do
    ffmpeg -v error -i work/captioned.mkv -vf "select=eq(n\,$n)" -frames:v 1 -y "work/f$n.png"
    ffmpeg -v error -i "work/f$n.png" -f rawvideo -pix_fmt gray -y "f$n.gray"
done
for pair in "14 15" "26 27"; do
    set -- $pair
    rows=$(python3 -c 'import sys
a, b = (open(f, "rb").read() for f in sys.argv[1:3])
d = [y for y in range(360) if a[y * 640:(y + 1) * 640] != b[y * 640:(y + 1) * 640]]
print(f"{min(d)}-{max(d)}" if d else "none")' "f$1.gray" "f$2.gray")
    case $rows in 2[5-9][0-9]-3[0-5][0-9] | 3[0-5][0-9]-3[0-5][0-9]) ;;
    *) h_fail "frames $1 and $2 differ in rows $rows, not in the captions' at the bottom" ;; esac
done
[ "$(bright work/f14.png 0 360 0 640)" = 0 ] && [ "$(bright work/f15.png 300 360 0 640)" -gt 300 ] &&
    [ "$(bright work/f27.png 0 360 0 640)" = 0 ] || h_fail "the caption does not come and go at 0.5 and 0.9 s"
# the shapes, and titles in Arabic and Japanese; a title no font has says so, once
render tagged.mp3 work/tall.mp4 --size vertical --to 0.2 --title auto
[ "$(ffprobe -v error -show_entries stream=width,height -of csv=p=0 work/tall.mp4 | head -n 1)" = 1080,1920 ] ||
    h_fail "--size vertical: $(cat render.err)"
for title in 'أمواج الصوت' '波の歌'; do
    render tagged.mp3 work/script.png --size 640x360 --at 0.6 --title "$title"
    [ "$status" = 0 ] && [ "$(bright work/script.png 0 120 0 640)" -gt 200 ] &&
        ! grep -q 'no font' render.err || h_fail "the title '$title': $(cat render.err)"
done
# a title of one long word, which libass cannot wrap, is drawn smaller to fit: lit, and nothing
# lit in the last 3 % at either edge
render tagged.mp3 work/long.png --size 640x360 --at 0.6 --title Supercalifragilisticexpialidociousness
[ "$(bright work/long.png 0 120 20 620)" -gt 100 ] && [ "$(bright work/long.png 0 120 0 20)" = 0 ] &&
    [ "$(bright work/long.png 0 120 620 640)" = 0 ] || h_fail "a long title is cut off at the edges"
mkdir fontless
printf '<?xml version="1.0"?>\n<fontconfig><dir>%s</dir><cachedir>%s</cachedir></fontconfig>\n' \
    "$PWD/fontless" "$PWD/fontless" >fontless/fonts.conf
FONTCONFIG_FILE=$PWD/fontless/fonts.conf render tagged.mp3 work/fontless.png --at 0.6 --title auto
[ "$status" = 0 ] && [ "$(grep -c 'no font here has every character' render.err)" = 1 ] ||
    h_fail "without fonts: status $status, $(cat render.err)"
h_ok "--size square and vertical, --cover, --title auto, Arabic and Japanese, and captions at their times"

# Under memcheck, the sound's way from a resampled stereo input to the mono mix and into the
# video's own track reads nothing it did not set. (An uninitialised channel layout there crashed
# one render in seven, so only a checker finds it every time.) The dynamic loader's word-wide
# reads of its own strings are left out.
h_need valgrind valgrind
printf '{\n  loader\n  Memcheck:Addr8\n  fun:strncmp\n  fun:is_dst\n}\n' >loader.supp
valgrind -q --error-exitcode=9 --suppressions=loader.supp "$RENDER" stereo.flac work/vg.mp4 \
    --size 64x36 --fps 10 2>render.err || h_fail "under memcheck: $(grep -v '^lumora-render' render.err | head -n 20)"
h_ok "under memcheck, a stereo input at 48 kHz renders without a fault"

# Bad input: one line, the status, and the folder as it was (an OUTPUT already there untouched).
echo "just text" >notes.txt
ffmpeg -v error -f lavfi -i testsrc=d=1:s=160x120 silent.mp4
sox -q -n -r 44100 -c 1 empty.wav trim 0 0
mkdir afolder
echo "keep me" >work/kept.mp4
before=$(ls -A work; md5sum work/kept.mp4)
for case in \
    "1 missing.wav work/kept.mp4" \
    "1 afolder work/kept.mp4" \
    "1 notes.txt work/kept.mp4" \
    "1 silent.mp4 work/kept.mp4" \
    "1 empty.wav work/kept.mp4" \
    "1 tone.wav nowhere/out.mp4" \
    "1 tone.wav /proc/out.mp4" \
    "2 tone.wav work/kept.avi" \
    "2 silent.mp4 silent.mp4" \
    "1 tone.wav work/kept.mp4 --from 5" \
    "2 tone.wav work/kept.mp4 --size 0x720" \
    "2 tone.wav work/kept.mp4 --size 16386x720" \
    "2 tone.wav work/kept.mp4 --size 641x360" \
    "2 tone.wav work/kept.mp4 --fps 0" \
    "2 tone.wav work/kept.mp4 --renderer vulkan" \
    "2 tone.wav work/kept.mp4 --from 2 --to 1"; do
    read -ra args <<<"$case"
    render "${args[@]:1}"
    [ "$status" = "${args[0]}" ] || h_fail "'${case#* }': status $status, expected ${args[0]}"
    [ "$(wc -l <render.err)" = 1 ] && grep -q '^lumora-render: ' render.err ||
        h_fail "'${case#* }': expected one line, got: $(cat render.err)"
done
cp silent.mp4 same.mp4
ln -s same.mp4 link.mp4
render same.mp4 link.mp4
[ "$status" = 1 ] && cmp -s silent.mp4 same.mp4 || h_fail "OUTPUT naming INPUT: status $status"
# Mesa's drivers hidden, as in a container without them: the processor draws, and only an
# explicit --renderer gl fails, with one line
mkdir no-drivers
hide() { __EGL_VENDOR_LIBRARY_FILENAMES=$PWD/no-drivers/none.json LIBGL_DRIVERS_PATH=$PWD/no-drivers "$@"; }
for painter in auto cpu; do
    hide render tone.wav "no-drivers/$painter.png" --size 320x180 --renderer $painter
    [ "$status" = 0 ] && grep -q 'drawing with the processor' render.err && [ -s "no-drivers/$painter.png" ] ||
        h_fail "no Mesa drivers, --renderer $painter: status $status: $(cat render.err)"
done
hide render tone.wav work/kept.mp4 --renderer gl
[ "$status" = 1 ] && [ "$(wc -l <render.err)" = 1 ] && grep -q 'no usable OpenGL' render.err ||
    h_fail "no OpenGL: $(cat render.err)"
[ "$(ls -A work; md5sum work/kept.mp4)" = "$before" ] ||
    h_fail "a failed render left the folder changed: $(ls -A work)"
# a damaged stretch of an mp3: one warning, and the video is written
ffmpeg -v error -i bar.wav -c:a libmp3lame -b:a 128k song.mp3
size=$(stat -c %s song.mp3)
yes "lumora " | tr -d '\n' | head -c 1500 | dd of=song.mp3 bs=1 seek=$((size / 2)) conv=notrunc 2>/dev/null
render song.mp3 song.mp4 --size 160x90
[ "$status" = 0 ] && [ "$(grep -c "damaged sound at" render.err)" = 1 ] && [ -s song.mp4 ] ||
    h_fail "a damaged mp3: status $status: $(cat render.err)"
h_ok "each bad input: one line and its status, nothing left behind; a damaged mp3: one warning"

# Ctrl-C and SIGTERM during a long render: within a second lumora-render has said so and taken
# its temporary file away, leaving OUTPUT untouched. Then the process is gone, with its status,
# once the kernel has freed its memory: under 100 ms on an idle machine, but several seconds
# beside busy loops when the software renderer holds hundreds of megabytes.
bash "$(dirname "$0")/music.sh" long.wav 30
interrupted() { grep -q 'interrupted; work/kept.mp4 was not written' render.err &&
    [ "$(ls -A work; md5sum work/kept.mp4)" = "$before" ]; }
for sig in INT TERM; do
    # (a shell starts a background job with SIGINT ignored, and lumora-render leaves it so)
    env --default-signal "$RENDER" long.wav work/kept.mp4 2>render.err &
    pid=$!
    h_until 30 grep -q 'drawing with' render.err || h_fail "the long render did not start drawing"
    sent=$(date +%s%N)
    kill -"$sig" "$pid"
    h_until 1 interrupted ||
        h_fail "SIG$sig: a second later: $(cat render.err) and in work: $(ls -A work)"
    took=$((($(date +%s%N) - sent) / 1000000))
    status=0
    wait "$pid" || status=$?
    gone=$((($(date +%s%N) - sent) / 1000000))
    want=$((128 + $(kill -l "$sig")))
    [ "$status" = "$want" ] && [ "$gone" -lt 10000 ] ||
        h_fail "SIG$sig: status $status after $gone ms, expected $want"
done
h_ok "Ctrl-C and SIGTERM: done within a second ($took ms), leaving nothing; gone after $gone ms"

# Off a terminal, progress as lines of their own, here every second: the first before the time
# left can be told (it is said once the frames have been coming for 3 s), and the time left in
# a later one where the render lasted long enough for it.
start=$(date +%s%N)
LUMORA_RENDER_PROGRESS=1 "$RENDER" long.wav work/progress.mp4 --size 640x360 2>render.err ||
    h_fail "the render with progress lines: $(cat render.err)"
took=$((($(date +%s%N) - start) / 1000000))
line='^lumora-render: +[0-9]+ %, [0-9]+ of 900 frames, [0-9.]+x real time'
lines=$(grep -cE "$line" render.err)
# (a line comes with the first frame after each second: at least one for every two seconds,
# however busy the machine)
[ "$lines" -ge $((took / 2000)) ] && grep -E "$line" render.err | head -n 1 | grep -qv 'left' ||
    h_fail "in $took ms, $lines progress lines: $(cat render.err)"
[ "$took" -lt 5000 ] || grep -qE "$line, [0-9]+:[0-9]{2} left\$" render.err ||
    h_fail "no time left in $took ms: $(cat render.err)"
h_ok "off a terminal: $lines progress lines in $took ms, the time left once the pace is known"

# Memory stays flat: 10 minutes of sound (at 8 kHz, 9.6 MB) drawn small. Its mono mix alone
# would take 211 MB if it were decoded whole before drawing.
sox -q -n -r 8000 -c 1 -b 16 ten.wav synth 600 sine 100:3000 vol 0.5
"$RENDER" ten.wav work/ten.mp4 --size 64x36 --fps 1 --detail 16 2>render.err &
pid=$!
peak=0
while kill -0 "$pid" 2>/dev/null; do
    rss=$(awk '/^VmHWM/ { print $2 }' "/proc/$pid/status" 2>/dev/null || echo 0)
    peak=$((rss > peak ? rss : peak))
    sleep 0.2
done
wait "$pid" || h_fail "ten minutes: $(cat render.err)"
[ "$peak" -lt 200000 ] || h_fail "ten minutes of sound took $peak kB at most, 200 MB allowed"
h_ok "ten minutes of sound: at most $((peak / 1024)) MB resident"
