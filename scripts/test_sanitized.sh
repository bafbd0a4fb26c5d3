#!/usr/bin/env bash
# Builds the tree with sanitizers into a folder of its own and runs test suites on it.
#
#   scripts/test_sanitized.sh SANITIZERS BUILD_DIR [SUITE_REGEX]
#   e.g. scripts/test_sanitized.sh thread build-tsan 'protocol|scripted|streaming|storm'
#
# SUITE_REGEX matches suite folder names (the tests' labels); without it every test runs.
# Every sanitized binary stops at its first report (cmake/sanitizer_defaults.cpp). Reports are
# also written to BUILD_DIR/sanitizer-reports, and any report there fails the run, so a host
# that a test killed before its exit status was looked at cannot hide one.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sanitizers=$1
build=$2
suites=${3:-}

VOICE_HOST_BUILD=$build "$root/scripts/build.sh" -DVOICE_HOST_SANITIZE="$sanitizers"

reports=$build/sanitizer-reports
rm -rf "$reports"
mkdir -p "$reports"
export ASAN_OPTIONS="log_path=$reports/asan${ASAN_OPTIONS:+:$ASAN_OPTIONS}"
export UBSAN_OPTIONS="log_path=$reports/ubsan${UBSAN_OPTIONS:+:$UBSAN_OPTIONS}"
export TSAN_OPTIONS="log_path=$reports/tsan${TSAN_OPTIONS:+:$TSAN_OPTIONS}"

select=()
[ -n "$suites" ] && select=(-L "^($suites)\$")
status=0
ctest --test-dir "$build" "${select[@]}" --output-on-failure -j "$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)" || status=$?

if [ -n "$(ls -A "$reports")" ]; then
  for report in "$reports"/*; do
    echo "=== sanitizer report $report"
    head -n 80 "$report"
  done
  echo "test_sanitized: $sanitizers reported errors (see above)" >&2
  status=1
fi
exit $status
