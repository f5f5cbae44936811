#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Installs lumora from this source tree as a Debian package, for every user: lumora and
# lumora-render on the PATH, their man pages, the desktop entry and icon. Builds first where
# ./run.sh has not. Through sudo where needed. "--remove" takes the package away again.
#   scripts/install.sh [--remove]
set -eu
cd "$(dirname "$0")/.."
as_root=""
[ "$(id -u)" = 0 ] || as_root=sudo
apt() { $as_root env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
if [ "${1:-}" = --remove ]; then
    apt remove -y lumora
    exit
fi
[ -x build/lumora ] && [ -x build/lumora-render ] || scripts/setup.sh run
cmake --build build -j "$(nproc)" >/dev/null
(cd build && cpack -G DEB >/dev/null)
deb=$(ls -t build/lumora_*.deb | head -n 1)
echo "installing $deb"
apt install -y "./$deb"
echo "lumora and lumora-render are installed; scripts/install.sh --remove takes them away"
