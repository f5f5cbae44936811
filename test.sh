#!/usr/bin/env bash
# Sets up what the tests need, builds everything, and runs every test; non-zero on any failure.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh test
cd build
exec ctest --output-on-failure --timeout 900
