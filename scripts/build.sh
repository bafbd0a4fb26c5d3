#!/usr/bin/env bash
# Configures and builds the host and its tests into build/ (or $VOICE_HOST_BUILD).
# An installed whisper.cpp (CMake package "whisper") is used when the machine has one;
# otherwise scripts/deps.sh builds the pinned release into a cache. VOICE_HOST_TARGETS, a
# space-separated list, builds only those targets. Arguments go to CMake's configure step.
#
# It says what it builds in one line on standard error. The tools' own output goes to
# BUILD/logs/; only a failing step shows it, the end of its log. Like scripts/run.sh, it first
# installs the packages that building needs (scripts/ensure_packages.sh).
#
#   scripts/build.sh [CMAKE_ARG ...]
#   VOICE_HOST_BUILD=build-dist VOICE_HOST_TARGETS=voice-host BUILD_TYPE=Release \
#     scripts/build.sh -DVOICE_HOST_TESTS=OFF
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
esac

has_system_whisper() {
  local d
  for d in /usr/lib/cmake/whisper /usr/local/lib/cmake/whisper /usr/lib/*/cmake/whisper \
           /usr/local/lib/*/cmake/whisper /usr/share/whisper/cmake; do
    [ -f "$d/whisper-config.cmake" ] && return 0
  done
  return 1
}

step() {
  local log=$build/logs/$1.log
  shift
  "$@" >"$log" 2>&1 || {
    tail -n 40 "$log" >&2
    echo "build: failed; the whole log is $log" >&2
    exit 1
  }
}

"$root/scripts/ensure_packages.sh" build
args=(-DCMAKE_BUILD_TYPE=${BUILD_TYPE:-RelWithDebInfo})
if ! has_system_whisper; then
  prefix=$("$root/scripts/deps.sh" | tail -n 1)
  args+=(-DCMAKE_PREFIX_PATH="$prefix")
fi

mkdir -p "$build/logs"
echo "build: building ${VOICE_HOST_TARGETS:-everything} into $build${*:+ ($*)}" >&2
step configure cmake -S "$root" -B "$build" "${args[@]}" "$@"
step build cmake --build "$build" -j "$jobs" ${VOICE_HOST_TARGETS:+--target $VOICE_HOST_TARGETS}
