# SPDX-License-Identifier: GPL-3.0-or-later
# Whether each click of a recording is seen in the frame it is heard in: a click is a loud onset
# after at least a second of quiet, and quiet again 50 ms later; its frame is the video frame nearest its sound, and its
# picture the brightest frame near it (the picture fades by half each picture after). Prints the
# offsets (picture minus sound, in frames) and fails unless every one is within a frame and the
# last is the first (no drift).
# Usage: click_sync.py RECORDING [CLICKS]   (at least CLICKS clicks, default 3)
import array
import subprocess
import sys

path = sys.argv[1]
least = int(sys.argv[2]) if len(sys.argv) > 2 else 3


def run(*args):
    return subprocess.run(args, check=True, capture_output=True).stdout


rate = 44100
s = array.array('h', run('ffmpeg', '-v', 'error', '-i', path, '-ac', '1', '-ar', str(rate),
                         '-f', 's16le', '-'))
audio_start = float(run('ffprobe', '-v', 'error', '-select_streams', 'a', '-show_entries',
                        'stream=start_time', '-of', 'csv=p=0', path).split()[0])
times = [float(t.split(b',')[0]) for t in run('ffprobe', '-v', 'error', '-select_streams', 'v', '-show_entries',
                               'frame=pts_time', '-of', 'csv=p=0', path).split()]
# every frame as it was sent: a frame dropped on a busy machine is not filled in
g = run('ffmpeg', '-v', 'error', '-i', path, '-fps_mode', 'passthrough', '-vf',
        'scale=32:18,format=gray', '-f', 'rawvideo', '-')
light = [sum(g[i * 576:(i + 1) * 576]) for i in range(len(g) // 576)]
if len(light) != len(times):
    print("frames: %d pictures, %d times" % (len(light), len(times)))
    sys.exit(1)

offsets = []
quiet = 0
i = 0
while i < len(s):
    # the first sample past the quiet (the encoder smears a little before a click), where a loud
    # one follows within 10 ms
    if (abs(s[i]) >= 4000 and quiet >= rate and max(map(abs, s[i:i + rate // 100])) > 8000 and
            max(map(abs, s[i + rate // 20:i + rate // 2])) < 4000):  # and quiet again: a click
        t = audio_start + i / rate
        heard = min(range(len(times)), key=lambda k: abs(times[k] - t))
        near = range(max(0, heard - 15), min(len(light), heard + 15))
        seen = max(near, key=lambda k: light[k])
        if light[seen] < 576 * 10:
            print("the click at %.2f s has no picture" % t)
            sys.exit(1)
        offsets.append(seen - heard)
        quiet = 0
        i += rate // 2
        continue
    quiet = quiet + 1 if abs(s[i]) < 4000 else 0
    i += 1
print("%d clicks, picture minus sound in frames: first %s, last %s, all %s" %
      (len(offsets), offsets[0] if offsets else None, offsets[-1] if offsets else None,
       sorted(set(offsets))))
sys.exit(0 if len(offsets) >= least and all(abs(o) <= 1 for o in offsets) and
         offsets[0] == offsets[-1] else 1)
