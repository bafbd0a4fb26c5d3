#!/usr/bin/env bash
# Installs the Debian packages that building, running and testing need (as root, Debian 12).
#
#   scripts/setup.sh [build|run|test|all]            # all, the default, adds AFL++ for scripts/fuzz.sh
#   scripts/setup.sh --missing [build|run|test|all]  # prints the ones not installed yet, installs nothing
#
# build: what scripts/build.sh needs (compilers, CMake, JSON and GoogleTest headers, and npm and
# openssl to fetch whisper.cpp); run: that plus espeak-ng and sox, which scripts/run.sh speaks
# with; test: that plus clang with its sanitizer and OpenMP runtimes (the sanitizer builds link
# whisper.cpp's OpenMP code with clang, which needs LLVM's libomp).
set -euo pipefail

build_packages=(build-essential cmake pkg-config git openssl ca-certificates nodejs npm
                nlohmann-json3-dev libgtest-dev googletest)
run_packages=("${build_packages[@]}" espeak-ng sox)
test_packages=("${run_packages[@]}" clang libclang-rt-14-dev libomp-14-dev)
all_packages=("${test_packages[@]}" afl++)

only_missing=no
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  --missing) only_missing=yes; shift ;;
esac
case "${1:-all}" in
  build) packages=("${build_packages[@]}") ;;
  run) packages=("${run_packages[@]}") ;;
  test) packages=("${test_packages[@]}") ;;
  all) packages=("${all_packages[@]}") ;;
  *) echo "setup.sh: unknown set $1 (build, run, test or all)" >&2; exit 2 ;;
esac

# One dpkg query for the lot, so callers can run this before every build.
installed=$(dpkg-query -W -f='${Package} ${db:Status-Abbrev}\n' "${packages[@]}" 2>/dev/null \
            | awk '$2 == "ii" { print $1 }' || true)
missing=()
for p in "${packages[@]}"; do
  # A machine whose nodejs package bundles npm (NodeSource) cannot take Debian's npm package.
  [ "$p" = npm ] && command -v npm >/dev/null && continue
  printf '%s\n' "$installed" | grep -qxF "$p" || missing+=("$p")
done

if [ "$only_missing" = yes ]; then
  echo "${missing[*]}"
  exit 0
fi
if [ ${#missing[@]} -gt 0 ]; then
  apt-get update -qq
  DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
