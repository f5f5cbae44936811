#!/usr/bin/env bash
# Sets up what lumora needs, builds it, and starts the visualiser on the default audio input.
set -eu
cd "$(dirname "$0")"
scripts/setup.sh run >&2
exec build/lumora "$@"
