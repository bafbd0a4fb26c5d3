#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
"$root/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$(nproc)"
