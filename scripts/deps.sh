#!/usr/bin/env bash
# Builds whisper.cpp (with its ggml) as a static CPU-only library into a cache outside the
# repo, and prints the install prefix on its last line. A second run reuses the cache.
set -euo pipefail

WHISPER_VERSION=1.9.1
NPM_PACKAGE=nodejs-whisper@0.3.1
NPM_INTEGRITY='sha512-ceoilUVraRuR5FnNyXpGQT2auAR48Oc3AQBEmkXnVpSn9iN6yVRzQBFCqVTGWbk6Wdi95NhvwXNzFvuR7erLWw=='

# The cache is keyed by version alone, so it is always built the same way: with the system's
# default compiler and flags, whatever a caller (a sanitizer or fuzzing build) has set.
unset CC CXX CFLAGS CXXFLAGS LDFLAGS

cache=${VOICE_HOST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/voice-host}
prefix="$cache/whisper-$WHISPER_VERSION"

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

die() { echo "deps: $*" >&2; exit 1; }
command -v npm >/dev/null || die "npm is needed to fetch the whisper.cpp sources"
command -v cmake >/dev/null || die "cmake is needed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

npm pack --silent "$NPM_PACKAGE" >/dev/null 2>npm.log || { cat npm.log >&2; die "could not download $NPM_PACKAGE"; }
tarball=$(ls ./*.tgz 2>/dev/null | head -n 1)
[ -n "$tarball" ] || die "npm pack produced no tarball"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | base64 -w0)"
[ "$actual" = "$NPM_INTEGRITY" ] || die "checksum mismatch for $tarball: got $actual, want $NPM_INTEGRITY"

tar xzf "$tarball" package/cpp/whisper.cpp
src="$work/package/cpp/whisper.cpp"
cmake -S "$src" -B build -DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF \
  -DWHISPER_BUILD_TESTS=OFF -DWHISPER_BUILD_EXAMPLES=OFF -DWHISPER_BUILD_SERVER=OFF \
  -DWHISPER_CURL=OFF -DWHISPER_SDL2=OFF -DGGML_OPENMP=OFF \
  -DGGML_METAL=OFF -DGGML_CUDA=OFF -DGGML_VULKAN=OFF -DGGML_BLAS=OFF \
  -DCMAKE_POSITION_INDEPENDENT_CODE=ON -DCMAKE_INSTALL_PREFIX="$prefix" >cmake.log 2>&1 \
  || { tail -n 30 cmake.log >&2; die "whisper.cpp configure failed"; }
cmake --build build -j "$(nproc)" >build.log 2>&1 || { tail -n 30 build.log >&2; die "whisper.cpp build failed"; }
rm -rf "$prefix"
cmake --install build >install.log 2>&1 || { tail -n 30 install.log >&2; die "whisper.cpp install failed"; }
# whisper-config.cmake refuses to load without <prefix>/bin, which a library-only install lacks.
mkdir -p "$prefix/bin"
touch "$prefix/.complete"
echo "$prefix"
