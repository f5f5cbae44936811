#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up what the tests need, builds everything, and runs every test; non-zero on any failure.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh test
cd build
# the end-to-end tests spend most of their time waiting on their own private servers, so twice as
# many run at once as there are processors
exec ctest --output-on-failure --timeout 900 -j "$(($(nproc) * 2))"
