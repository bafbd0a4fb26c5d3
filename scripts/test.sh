#!/usr/bin/env bash
# Builds everything and runs the whole test suite.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)
"$root/scripts/ensure_packages.sh" test
"$root/scripts/build.sh"
ctest --test-dir "$build" --output-on-failure -j "$jobs"
# The same code under AddressSanitizer+UBSan (every suite; built with clang, whose UBSan shares
# ASan's runtime and so writes its reports where ASan does) and ThreadSanitizer (the suites on
# the scripted host: the real library's uninstrumented threads would only add noise).
# VOICE_HOST_SANITIZERS=0 skips both.
if [ "${VOICE_HOST_SANITIZERS:-1}" != 0 ]; then
  CC=clang CXX=clang++ "$root/scripts/test_sanitized.sh" address,undefined "$root/build-asan"
  "$root/scripts/test_sanitized.sh" thread "$root/build-tsan" 'protocol|scripted|streaming|storm'
fi
