#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# A clean run (start, sound, Esc) under valgrind leaves nothing of the program's own behind:
# no block at all from the analysis module (its buffers, plan and planner tables are all
# released), and no lost block from any of the program's sources. GL and audio plug-ins keep
# blocks of their own; those have no frame in lumora's sources and are only counted.
. "$(dirname "$0")/../../scripts/harness.sh"
h_need valgrind valgrind

h_start_x
h_start_pulse
h_play tone synth 30 sine 440 vol 0.5
# ALSA's own configuration makes PortAudio open every device it defines, the a52 encoder among
# them, which loads libavcodec and libhwy; libhwy times itself with rdtscp, which valgrind 3.19
# does not know on some AMD processors (SIGILL). The program under valgrind gets a configuration
# with just what the test needs, the default device on the private sound server.
printf 'pcm.!default { type pulse }\nctl.!default { type pulse }\n' >"$H_DIR/asound.conf"
h_spawn lumora env ALSA_CONFIG_PATH="$H_DIR/asound.conf" valgrind --leak-check=full \
    --show-leak-kinds=all --errors-for-leak-kinds=none --num-callers=30 "$LUMORA"
LUMORA_PID=$H_SPAWNED
h_find_window 120
sleep 3
h_key Escape
h_wait_exit 60 || h_fail "Esc did not end lumora under valgrind"
[ "$LUMORA_STATUS" = 0 ] || h_fail "status $LUMORA_STATUS"

# One line per loss record: its kind; "own" when the code that asked for the block (the first
# frame past the allocator) is one of ours; "ft" when the analysis module is on the stack.
awk '
function flush() { if (rec != "") print kind, own, ft, rec; rec = "" }
/are (definitely|indirectly|possibly) lost in loss record|are still reachable in loss record/ {
    flush()
    rec = $0; own = "-"; ft = "-"; caller = 0
    kind = ($0 ~ /still reachable/) ? "reachable" : "lost"
    next
}
rec == "" { next }
/^==[0-9]+== *$/ { flush(); next }
/\(ft\.cpp:[0-9]+\)/ { ft = "ft" }
/^==[0-9]+== +(at|by) / {
    if (caller) next
    if ($0 ~ /: (malloc|calloc|realloc|memalign|posix_memalign|aligned_alloc|operator new|fftw_malloc)/) next
    caller = 1
    if ($0 ~ /\((lumora|pa|pa_keeper|pa_quiet|ft|frame|frame_heights|paint|common)\.cpp:[0-9]+\)/) own = "own"
}
END { flush() }
' "$H_DIR/lumora.err" >"$H_DIR/records"

[ -s "$H_DIR/records" ] || h_fail "valgrind printed no leak report"
if grep -q '^lost own' "$H_DIR/records" || grep -q '^[a-z]* [-a-z]* ft' "$H_DIR/records"; then
    grep -E '^lost own|^[a-z]+ [-a-z]+ ft' "$H_DIR/records" | head -n 5 >&2
    h_fail "lumora leaves memory of its own behind"
fi
h_ok "nothing of lumora's own left; $(grep -c '^lost' "$H_DIR/records") lost and $(grep -c '^reachable' "$H_DIR/records") reachable records belong to the libraries"
