#!/usr/bin/env bash
# SPDX-License-Identifier: GPL-3.0-or-later
# Sets up what the tests need, builds everything, and runs every test; non-zero on any failure.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh test
cd build
# The end-to-end tests spend most of their time waiting on their own private servers, so twice as
# many run at once as there are processors. CTest says nothing between the ends of tests, and the
# longest run for minutes: a line every 30 s says how far it is, so a quiet minute is not a hang.
log=$(mktemp)
trap 'rm -f "$log"; kill "$ticker" 2>/dev/null || true' EXIT
total=$(ctest -N | sed -n 's/^Total Tests: //p')
(
    start=$SECONDS
    while sleep 30; do
        echo "test.sh: $((SECONDS - start)) s, $(grep -c '^ *[0-9]*/[0-9]* Test *#' "$log") of $total" \
            "tests done, the others still running"
    done
) &
ticker=$!
ctest --output-on-failure --timeout 900 -j "$(($(nproc) * 2))" | tee "$log"
exit "${PIPESTATUS[0]}"
