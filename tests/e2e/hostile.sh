#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# lumora-render where nobody watches it, on inputs, names and options anyone may send: every
# channel count into every container; names and files that point at other files or addresses,
# with a local web server that must see no request; every signal that ends a render; times and
# sizes that cannot be; and OUTPUT replaced as cp would. Each case checks its status, its one
# line, and that nothing is left behind.
. "$(dirname "$0")/../../scripts/harness.sh"
RENDER=$LUMORA
h_need sox sox
h_need ffprobe ffmpeg
h_need python3 python3
h_need compare imagemagick
cd "$H_DIR"
mkdir work
echo "keep me" >work/kept.mp4
kept=$(md5sum work/kept.mp4)

# expect STATUS PATTERN ARGS...: lumora-render ARGS gives STATUS, and a line matching PATTERN
# (grep -E; on a failure, the only line besides what draws); a failure leaves work/kept.mp4 as it was; no render
# leaves a temporary file. Its standard error stays in render.err.
expect() {
    local want=$1 pattern=$2 status=0
    shift 2
    "$RENDER" "$@" 2>render.err </dev/null || status=$?
    [ "$status" = "$want" ] || h_fail "'$*': status $status, expected $want: $(cat render.err)"
    grep -qE -e "$pattern" render.err || h_fail "'$*': expected '$pattern', got: $(cat render.err)"
    if [ "$want" != 0 ]; then
        [ "$(grep -vc '^lumora-render: drawing with' render.err)" = 1 ] || h_fail "'$*': expected one line, got: $(cat render.err)"
        [ "$(md5sum work/kept.mp4)" = "$kept" ] || h_fail "'$*' changed work/kept.mp4"
    fi
    left_behind "$*"
}
left_behind() {
    local left
    left=$(find . -name '.*' ! -name . | head -n 3)
    [ -z "$left" ] || h_fail "$1: left behind: $left"
}
channels() { ffprobe -v error -select_streams a -show_entries stream=channels -of csv=p=0 "$1"; }

# Every channel count, into every container: its own channels where the encoder takes them, else
# a stereo mix said in one line. 16 channels into an .mp4 crashed (8 planes of 16 were handed on).
for c in 1 2 3 6 8 16 24; do
    sox -q -n -r 48000 -c "$c" "c$c.wav" synth 0.5 sine 440
done
sox -q -n -r 48000 -c 6 c6s.flac synth 0.5 sine 440 # FLAC's 6 channels are 5.1(side)
for c in 1 2 3 6 6s 8 16 24; do
    for ext in mp4 webm mkv; do
        in=c$c.wav
        [ "$c" = 6s ] && in=c6s.flac
        expect 0 'wrote' "$in" "work/c$c.$ext" --size 32x18
        got=$(channels "work/c$c.$ext")
        if grep -q 'cannot carry' render.err; then
            [ "$got" = 2 ] || h_fail "$in into .$ext: said it mixed to stereo, carries $got"
        else
            [ "$got" = "${c%s}" ] || h_fail "$in into .$ext carries $got channels"
        fi
        ffmpeg -v error -i "work/c$c.$ext" -f null - || h_fail "$in into .$ext does not decode"
    done
done
h_ok "1 to 24 channels into .mp4, .webm and .mkv: their own channels or a stereo mix, said once"

# Local files and standard input only, and a file's name is a file's name. The web server logs
# every request; none may reach it.
python3 -u -m http.server 0 --bind 127.0.0.1 >http.log 2>&1 &
H_PIDS="$! $H_PIDS"
h_until 10 grep -q 'port' http.log || h_fail "the local web server did not start"
port=$(sed -n 's/.* port \([0-9]*\) .*/\1/p' http.log | head -n 1)
sox -q -n -r 44100 -c 1 -b 16 t.wav synth 1 sine 440
for name in '01:intro.wav' 'http:x.wav' 'concat:a.wav|b.wav'; do cp t.wav "$name"; done
printf 'ffconcat version 1.0\nfile t.wav\nfile t.wav\n' >list.ffconcat
printf '#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nhttp://127.0.0.1:%s/t.wav\n#EXT-X-ENDLIST\n' \
    "$port" >remote.m3u8
printf '#EXTM3U\n#EXT-X-TARGETDURATION:1\n#EXTINF:1,\nt.wav\n#EXT-X-ENDLIST\n' >local.m3u8
sox -q t.wav img001.wav
# images and captions: not an image, cut short, too large, a playlist by another name, a file
# that is not there, and captions that are not captions
echo "not a picture" >words.png
convert -size 64x64 xc:red red.png
head -c 200 red.png >cut.png
python3 -c 'import struct, sys, zlib
def chunk(kind, data):
    return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
w = h = 9000  # black, one bit a pixel: a few kilobytes that decode to 81 million pixels
rows = zlib.compress(b"\0" * ((1 + w // 8) * h), 9)
sys.stdout.buffer.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", struct.pack(">IIBBBBB", w, h, 1, 0, 0, 0, 0))
                        + chunk(b"IDAT", rows) + chunk(b"IEND", b""))' >huge.png
cp remote.m3u8 playlist.jpg
printf 'this is not\na caption file\n' >bad.srt
printf 'WEBVTT\n\n00:00.100 --> 00:00.900\nA caption.\n' >good.vtt
while IFS='@' read -r want pattern args; do
    read -ra argv <<<"$args"
    expect "$want" "$pattern" "${argv[@]}"
done <<EOF
1@No such file@http://127.0.0.1:$port/t.wav work/kept.mp4 --size 32x18
1@\(concat\), which points at other files@list.ffconcat work/kept.mp4 --size 32x18
1@\(hls\), which points at other files@remote.m3u8 work/kept.mp4 --size 32x18
1@\(hls\), which points at other files@local.m3u8 work/kept.mp4 --size 32x18
1@No such file@img%03d.wav work/kept.mp4 --size 32x18
0@wrote@01:intro.wav work/intro.png --size 32x18
0@wrote@http:x.wav work/http.png --size 32x18
1@^lumora-render: words.png: not an image lumora-render reads@t.wav work/kept.mp4 --size 32x18 --cover words.png
1@^lumora-render: cut.png: damaged@t.wav work/kept.mp4 --size 32x18 --background cut.png
1@^lumora-render: huge.png: larger than@t.wav work/kept.mp4 --size 32x18 --background huge.png
1@^lumora-render: playlist.jpg: not an image@t.wav work/kept.mp4 --size 32x18 --cover playlist.jpg
1@^lumora-render: gone.srt: No such file@t.wav work/kept.mp4 --size 32x18 --captions gone.srt
1@^lumora-render: bad.srt: not captions@t.wav work/kept.mp4 --size 32x18 --captions bad.srt
0@t.wav has no cover of its own@t.wav work/coverless.png --size 32x18 --cover
0@wrote@t.wav work/vtt.png --size 32x18 --captions good.vtt
EOF
expect 0 'wrote' 'concat:a.wav|b.wav' work/concat.png --size 32x18
"$RENDER" - work/stdin.mp4 --size 32x18 <t.wav 2>render.err &&
    [ "$(channels work/stdin.mp4)" = 1 ] || h_fail "standard input: $(cat render.err)"
left_behind "standard input"
! grep -q 'GET\|HEAD' http.log || h_fail "a request reached the web server: $(grep 'GET\|HEAD' http.log)"
h_ok "URLs, playlists, lists of files and name patterns refused; colons are characters; - is standard input; no request was made"

# Every signal that ends a render takes its temporary file away; SIGPIPE ends nothing, and a file
# size limit fails the render with one line.
bash "$(dirname "$0")/music.sh" long.wav 20
for sig in QUIT USR1 ALRM SEGV; do
    # (a shell starts a background job with SIGINT and SIGQUIT ignored, and they stay so)
    env --default-signal "$RENDER" long.wav work/kept.mp4 --size 320x180 2>render.err &
    pid=$!
    h_until 30 grep -q 'drawing with' render.err || h_fail "SIG$sig: the render did not start drawing"
    kill -"$sig" "$pid"
    status=0
    wait "$pid" || status=$?
    [ "$status" = $((128 + $(kill -l "$sig"))) ] && grep -qE 'interrupted|crashed' render.err ||
        h_fail "SIG$sig: status $status: $(cat render.err)"
    left_behind "SIG$sig"
done
[ "$(md5sum work/kept.mp4)" = "$kept" ] || h_fail "a signal changed work/kept.mp4"
exec 3> >(exit 0) # a pipe whose reader has gone, as after "| head -1"
wait $! || true
status=0
"$RENDER" t.wav work/piped.mp4 --size 32x18 2>&3 || status=$?
exec 3>&-
[ "$status" = 0 ] && [ "$(channels work/piped.mp4)" = 1 ] ||
    h_fail "with the reader of its standard error gone: status $status"
left_behind "SIGPIPE"
(ulimit -f 64 && expect 1 'File too large' long.wav work/kept.mp4 --size 320x180) || exit 1
# a hangup ignored from the start, as nohup leaves it, stays ignored
nohup "$RENDER" long.wav work/nohup.mp4 --size 320x180 2>render.err >/dev/null &
pid=$!
h_until 30 grep -q 'drawing with' render.err || h_fail "the render under nohup did not start"
kill -HUP "$pid" 2>/dev/null || true
wait "$pid" && [ -s work/nohup.mp4 ] || h_fail "under nohup, a hangup ended the render: $(cat render.err)"
h_ok "SIGQUIT, SIGUSR1, SIGALRM and SIGSEGV leave nothing; a reader gone ends nothing; a file size limit fails in one line; nohup holds"

# A picture's time, when not given, is half the sound as it decodes: a 10 s video with 3 s of
# sound, and an mp3 cut short whose header still says 2:00.
ffmpeg -v error -f lavfi -i testsrc=d=10:s=160x120 -f lavfi -i sine=d=3 -c:v libx264 -c:a aac \
    short-sound.mp4
sox -q -n -r 44100 -c 2 two.wav synth 120 sine 440
ffmpeg -v error -i two.wav -b:a 128k two.mp3
head -c 80000 two.mp3 >cut.mp3
expect 0 'the picture at 1.50 s' short-sound.mp4 work/short.png --size 32x18
expect 0 'the picture at 2.4[0-9] s' cut.mp3 work/cut.png --size 32x18
h_ok "with no --at, the picture is halfway through the sound that decodes"

# Times and sizes that cannot be: one line that repeats the argument, before anything is opened
# (a size within a second: 16384 x 16384 once drew for a minute before the PNG encoder refused).
while IFS='@' read -r want pattern args; do
    read -ra argv <<<"$args"
    start=$(date +%s%N)
    expect "$want" "$pattern" t.wav "${argv[@]}"
    [ $(($(date +%s%N) - start)) -lt 1000000000 ] || h_fail "'$args' took more than a second"
done <<'EOF'
2@--to 1e15: give seconds@work/kept.mp4 --to 1e15
2@--from 0x10: give seconds@work/kept.mp4 --from 0x10
2@--from 1e308: give seconds@work/kept.mp4 --from 1e308
2@--from nan: give seconds@work/kept.mp4 --from nan
2@--to inf: give seconds@work/kept.mp4 --to inf
2@--to 100:00:01: give seconds@work/kept.mp4 --to 100:00:01
2@--from 0 is not before --to 0@work/kept.mp4 --to 0
2@--size 16384x16384: larger than FFmpeg makes a picture@work/kept.png --size 16384x16384
2@--size 16386x720: larger than a video can be@work/kept.mp4 --size 16386x720
2@--size 8192x4354: larger than a video can be@work/kept.webm --size 8192x4354
2@--detail 1048577: give a whole number of steps, 1 to 1048576@work/kept.mp4 --detail 1048577
EOF
h_ok "hexadecimal, exponents, NaN, infinities, past 100 hours, and sizes past the encoders': refused at once"

# OUTPUT replaced: its permissions kept, a symlink written through, and a name too long for the
# temporary name's extra characters still written.
mkdir work/real
echo old >work/real/song.mp4
chmod 600 work/real/song.mp4
ln -s real/song.mp4 work/link.mp4
ln -s real/new.mp4 work/dangling.mp4
expect 0 'wrote' t.wav work/link.mp4 --size 32x18
expect 0 'wrote' t.wav work/dangling.mp4 --size 32x18
[ -L work/link.mp4 ] && [ "$(stat -c %a work/real/song.mp4)" = 600 ] &&
    [ "$(channels work/real/song.mp4)" = 1 ] && [ "$(channels work/real/new.mp4)" = 1 ] ||
    h_fail "replacing through a symlink: $(ls -l work work/real)"
long=work/$(printf 'a%.0s' $(seq 246)).mp4 # 250 bytes, 5 short of the longest name
expect 0 'wrote' t.wav "$long" --size 32x18
[ -s "$long" ] || h_fail "the 250-byte name was not written"
h_ok "OUTPUT replaced keeps its permissions and its symlink; a 250-byte name is written"

# What a careless or unlucky user leaves it. Standard error closed, as cron or a service manager
# may leave it: the temporary output was opened as descriptor 2, took the status lines, and was
# reported as written. A FIFO or a process substitution cannot be read twice: measuring its length
# read it to its end, and opening it again hung (or said it was no sound file).
for how in '<&- 2>&-' '>&- 2>render.err' '<&- >&- 2>&-'; do
    status=0
    eval '"$RENDER" t.wav work/closed.mp4 --size 32x18 '"$how" || status=$?
    [ "$status" = 0 ] && [ "$(channels work/closed.mp4)" = 1 ] && ! grep -qa 'lumora-render' work/closed.mp4 ||
        h_fail "with $how: status $status, $(head -c 40 work/closed.mp4 | tr -c '[:print:]' .)"
    left_behind "with $how"
done
status=0
"$RENDER" - work/closed.mp4 --size 32x18 <t.wav 2>&- || status=$?
[ "$status" = 0 ] && [ "$(channels work/closed.mp4)" = 1 ] || h_fail "standard input with 2>&-: status $status"
mkfifo fifo.wav
cat t.wav >fifo.wav &
status=0
timeout 60 "$RENDER" fifo.wav work/kept.png --size 32x18 2>render.err || status=$?
[ "$status" = 1 ] && [ "$(cat render.err)" = "lumora-render: fifo.wav, a pipe or a device: its length is not known before its end; give --at" ] ||
    h_fail "a FIFO: status $status, $(cat render.err)"
wait $! 2>/dev/null || true
cat t.wav >fifo.wav &
expect 0 'wrote' fifo.wav work/fifo.png --size 32x18 --at 0.5
expect 1 '/dev/fd/[0-9]*, a pipe or a device: its length is not known' <(cat t.wav) work/kept.png --size 32x18
expect 0 'wrote' <(cat t.wav) work/sub.mp4 --size 32x18
h_ok "standard streams closed: a whole video and status 0; a FIFO and <(...) read once, and --at asked for"

# One sample that is not a number, in a float file, into every container: AAC's encoder refused
# it and failed the render. It is taken as 0, with one line that counts it.
python3 - <<'PY'
import math, struct
n = 4 * 44100
data = b"".join(struct.pack("<f", math.nan if k == 50000 else 0.5 * math.sin(k * 0.0627)) for k in range(n))
fmt = struct.pack("<HHIIHH", 3, 1, 44100, 4 * 44100, 4, 32)
with open("nan.wav", "wb") as f:
    f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(data)) + b"WAVE")
    f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt + b"data" + struct.pack("<I", len(data)) + data)
PY
for ext in mp4 webm mkv png gif; do
    expect 0 '^lumora-render: 1 sample of the sound was not a number: taken as 0$' nan.wav "work/nan.$ext" --size 32x18
    [ "$(grep -c 'not a number' render.err)" = 1 ] || h_fail "a NaN into .$ext: $(cat render.err)"
done
# Memory that runs out: one line and status 1, nothing left behind (it was "terminate called
# after throwing std::bad_alloc", status 134, and x264's own line). Under about 250 MB of address
# space the libraries' own start-up fails before lumora-render runs a line.
for limit in 300000 400000 480000; do
    status=0
    (ulimit -v $limit && exec "$RENDER" long.wav work/oom.mp4 --size 1280x720 --to 3) 2>render.err || status=$?
    # (where the limit is enough on this machine, the render is whole)
    { [ "$status" = 1 ] && [ "$(grep -vc '^lumora-render: drawing with' render.err)" = 1 ] ||
        { [ "$status" = 0 ] && [ "$(channels work/oom.mp4)" = 1 ]; }; } &&
        ! grep -v '^lumora-render: ' render.err | grep -q . ||
        h_fail "ulimit -v $limit: status $status: $(cat render.err)"
    left_behind "ulimit -v $limit"
done
h_ok "a NaN in the sound: every container written, one line; memory that runs out: one line, status 1"

# A chained Ogg that goes from mono to stereo: its stereo part was mixed into the mono track 3 dB
# louder in .mp4 and .webm, and the progress said "278 of 278 frames" of 303, the first part's
# stated length. Both parts at one level in every container; no progress line reaches a total
# that the sound then outruns.
sox -q -n -r 48000 -c 1 mono.ogg synth 3 sine 440 vol 0.3
sox -q -n -r 48000 -c 2 stereo.ogg synth 3 sine 440 vol 0.3
cat mono.ogg stereo.ogg >chain.ogg
rms() {
    ffmpeg -v error -y -i "$1" -ac 1 level.wav && sox level.wav -n trim "$2" 2 stat 2>&1 | awk '/RMS +amp/ { print $3 }'
}
for ext in mp4 webm mkv; do
    LUMORA_RENDER_PROGRESS=0.01 expect 0 'wrote work/chain.'"$ext"': 181 frames' chain.ogg "work/chain.$ext" --size 32x18
    awk -v a="$(rms "work/chain.$ext" 0.5)" -v b="$(rms "work/chain.$ext" 3.5)" \
        'BEGIN { exit !(b > 0 && a / b > 0.94 && a / b < 1.06) }' ||
        h_fail "a chain from mono to stereo into .$ext: RMS $(rms "work/chain.$ext" 0.5), then $(rms "work/chain.$ext" 3.5)"
    grep -oE '[0-9]+ of [0-9]+ frames' render.err | awk '$1 >= $3 && $3 < 181 { past = 1 } END { exit past }' ||
        h_fail "a chain's progress counts past its total: $(cat render.err)"
done
h_ok "a chained Ogg from mono to stereo: one level in .mp4, .webm and .mkv, and no count past its total"

# A float file's level is its own: music at 100 times full scale is drawn as the music is, but for
# the running volume's first moments (23 to 34 dB against it over runs, sox's plucks and hi-hats
# being random; every sample past 16 was taken as a glitch, and what was left was broadband
# noise, at 17 to 18 dB),
# while a lone sample past 16 is still a glitch, and changes nothing.
bash "$(dirname "$0")/music.sh" level.wav 4
ffmpeg -v error -i level.wav -c:a pcm_f32le plain.wav
ffmpeg -v error -i level.wav -af volume=100 -c:a pcm_f32le loud.wav
python3 - <<'PY'
import struct
with open("plain.wav", "rb") as f:
    wav = bytearray(f.read())
at = wav.index(b"data") + 8 + 4 * 100000
wav[at:at + 4] = struct.pack("<f", 1000.0)
with open("spike.wav", "wb") as f:
    f.write(wav)
PY
for name in plain loud spike; do
    expect 0 'wrote' "$name.wav" "work/$name.png" --size 320x180 --at 3 --fps 20
done
psnr() { compare -metric PSNR "$1" "$2" null: 2>&1 || true; }
awk -v a="$(psnr work/plain.png work/loud.png)" -v b="$(psnr work/plain.png work/spike.png)" \
    'BEGIN { exit !(a == "inf" || a > 21) || !(b == "inf" || b > 40) }' ||
    h_fail "music at 100 times full scale: $(psnr work/plain.png work/loud.png) dB; with a lone spike: $(psnr work/plain.png work/spike.png) dB"
h_ok "music at 100 times full scale is drawn as the music is, and a lone spike is ignored"

# Music off centre: a DC offset larger than its swing had no positive sample, and every frame was
# black (-0.45), or made the offset's bin 0 the spectrum's peak, and every wave flat (+0.45): 17
# dB against the music itself. Its mean is taken away, and it is drawn as the music is.
sox -q level.wav -e floating-point -b 32 centred.wav vol 0.3
for shift in -0.45 0.45; do
    sox -q level.wav -e floating-point -b 32 "off$shift.wav" vol 0.3 dcshift "$shift"
    expect 0 'wrote' "off$shift.wav" "work/off$shift.png" --size 320x180 --at 3 --fps 20
done
expect 0 'wrote' centred.wav work/centred.png --size 320x180 --at 3 --fps 20
for shift in -0.45 0.45; do
    awk -v a="$(psnr work/centred.png "work/off$shift.png")" 'BEGIN { exit !(a == "inf" || a > 30) }' ||
        h_fail "music with an offset of $shift: $(psnr work/centred.png "work/off$shift.png") dB against it centred"
done
h_ok "music with an offset of -0.45 or 0.45, larger than its swing, is drawn as the music is"
