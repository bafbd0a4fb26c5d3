#!/usr/bin/env bash
# Builds everything and runs the whole test suite: installs the packages it needs (as root on
# Debian; scripts/setup.sh test), builds into build/ ($VOICE_HOST_BUILD) and runs ctest there,
# then reruns the suites with ASan+UBSan (build-asan/) and TSan (build-tsan/).
#
#   scripts/test.sh                         # everything
#   VOICE_HOST_SANITIZERS=0 scripts/test.sh # without the sanitizer builds
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "test.sh: takes no arguments (--help says what it does)" >&2; exit 2 ;;
esac
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
