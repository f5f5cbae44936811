#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Drawing only: the processor's painter against Mesa's llvmpipe on the same frames of music-like
# sound and of loud white noise (every wave tall), side by side in one run, at three sizes and
# two details, with how far the pictures are apart. Not part of the test run:
#   [KINDS="music noise"] tests/bench/painter_bench.sh build/tests/cpu_fidelity [FRAMES]
set -eu
fidelity=${1:?usage: painter_bench.sh CPU_FIDELITY [FRAMES]}
frames=${2:-20}
for size in 600x300 1280x720 1920x1080; do
    w=${size%x*} h=${size#*x}
    for detail in 128 "$w"; do
        for kind in ${KINDS:-music noise}; do
            "$fidelity" frames "$w" "$h" "$detail" "$frames" "$kind"
        done
    done
done
