#!/usr/bin/env bash
# Configures and builds the host and its tests into build/ (or $VOICE_HOST_BUILD).
# An installed whisper.cpp (CMake package "whisper") is used when the machine has one;
# otherwise scripts/deps.sh builds the pinned release into a cache. VOICE_HOST_TARGETS, a
# space-separated list, builds only those targets.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}

has_system_whisper() {
  local d
  for d in /usr/lib/cmake/whisper /usr/local/lib/cmake/whisper /usr/lib/*/cmake/whisper \
           /usr/local/lib/*/cmake/whisper /usr/share/whisper/cmake; do
    [ -f "$d/whisper-config.cmake" ] && return 0
  done
  return 1
}

args=(-DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo})
if ! has_system_whisper; then
  prefix=$("$root/scripts/deps.sh" | tail -n 1)
  args+=(-DCMAKE_PREFIX_PATH="$prefix")
fi
cmake -S "$root" -B "$build" "${args[@]}" "$@" >/dev/null
cmake --build "$build" -j "$(nproc)" ${VOICE_HOST_TARGETS:+--target $VOICE_HOST_TARGETS}
