#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# The picture's unit tests (frame arithmetic, wave heights, the processor's painter and its
# kernels) built for 64-bit ARM with Debian's cross compiler and run under qemu-user, so that the
# vector kernels are proven on NEON and SVE as well as on this machine's. Installs what it needs
# (as root, or through sudo): the cross compiler, qemu-user and the arm64 libraries.
#   scripts/arm64-check.sh
set -eu
cd "$(dirname "$0")/.."
as_root=""
[ "$(id -u)" = 0 ] || as_root=sudo
if ! command -v aarch64-linux-gnu-g++ >/dev/null || ! command -v qemu-aarch64 >/dev/null ||
    ! dpkg-query -W libhwy-dev:arm64 libtbb-dev:arm64 libfftw3-dev:arm64 libgtest-dev:arm64 \
        >/dev/null 2>&1; then
    echo "arm64-check: installing the cross compiler, qemu-user and the arm64 libraries"
    $as_root dpkg --add-architecture arm64
    $as_root apt-get update -qq
    $as_root env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends \
        g++-aarch64-linux-gnu qemu-user libc6-dev:arm64 libhwy-dev:arm64 libtbb-dev:arm64 \
        libfftw3-dev:arm64 libgtest-dev:arm64 >/dev/null
fi
out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
p=src/picture
echo "arm64-check: building"
aarch64-linux-gnu-g++ -std=c++20 -O2 -Wall -Wextra -ffp-contract=off -Isrc -I$p \
    $p/ft.cpp $p/frame.cpp $p/frame_heights.cpp $p/colour.cpp $p/cpu_painter.cpp \
    $p/cpu_triangle.cpp $p/cpu_spans.cpp $p/painter_choice.cpp \
    tests/picture/frame_test.cpp tests/picture/cpu_painter_test.cpp tests/picture/colour_test.cpp \
    -lhwy -ltbb -lfftw3 -lgtest -lgtest_main -lpthread -o "$out/picture_tests"
echo "arm64-check: running under qemu-aarch64 (a few minutes: every vector unit is emulated)"
# every test but two that draw whole frames many times over, each longer than five minutes under
# emulation (the vector units are emulated one instruction at a time)
qemu-aarch64 -L /usr/aarch64-linux-gnu "$out/picture_tests" \
    --gtest_filter=-Frame.AnyDetailLevelFinishes:ProcessorPainter.SilenceFadesTheWholePictureToBlack
