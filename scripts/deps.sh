#!/usr/bin/env bash
# Builds whisper.cpp (with its ggml) as a static library the way upstream builds it by default
# (OpenMP workers, the platform's own GPU backend such as Metal on Apple, tuned for this CPU),
# plus its whisper-quantize tool, into a cache outside the repo. Prints the install prefix on
# its last line; a second run with the same settings reuses the cache.
#
#   VOICE_HOST_GPU=cuda scripts/deps.sh
#
# VOICE_HOST_GPU opts into one more ggml GPU backend: cuda, vulkan, hip, sycl, musa or opencl
# (empty: ggml's per-platform defaults only). A backend that was asked for and cannot be built
# fails the build. With cuda, CUDAARCHS (e.g. 90) picks the GPU architectures to build for
# when the building machine has no GPU of its own. Progress goes to standard error.
set -euo pipefail

WHISPER_VERSION=1.9.1
NPM_PACKAGE=nodejs-whisper@0.3.1
NPM_INTEGRITY='sha512-ceoilUVraRuR5FnNyXpGQT2auAR48Oc3AQBEmkXnVpSn9iN6yVRzQBFCqVTGWbk6Wdi95NhvwXNzFvuR7erLWw=='

# The cache is always built the same way for one key: with the system's default compiler and
# flags, whatever a caller (a sanitizer or fuzzing build) has set.
unset CC CXX CFLAGS CXXFLAGS LDFLAGS

die() { echo "deps: $*" >&2; exit 1; }
jobs=$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)

gpu=${VOICE_HOST_GPU:-}
case "$gpu" in
  "") ;;
  cuda|vulkan|hip|sycl|musa|opencl) ;;
  *) die "VOICE_HOST_GPU=$gpu is not one of cuda, vulkan, hip, sycl, musa, opencl" ;;
esac

args=(-DCMAKE_BUILD_TYPE=Release -DBUILD_SHARED_LIBS=OFF -DGGML_OPENMP=ON
      -DWHISPER_BUILD_TESTS=OFF -DWHISPER_BUILD_EXAMPLES=OFF -DWHISPER_BUILD_SERVER=OFF
      -DWHISPER_CURL=OFF -DWHISPER_SDL2=OFF -DGGML_BLAS=OFF -DCMAKE_POSITION_INDEPENDENT_CODE=ON)
if [ -n "$gpu" ]; then
  args+=("-DGGML_$(echo "$gpu" | tr '[:lower:]' '[:upper:]')=ON")
fi
# ggml builds CUDA code for the GPU it finds ("native"); CMake's own CUDAARCHS names the
# architectures instead, for a build machine without a GPU.
if [ "$gpu" = cuda ] && [ -n "${CUDAARCHS:-}" ]; then
  args+=("-DCMAKE_CUDA_ARCHITECTURES=$CUDAARCHS")
fi
# NCCL only serves models split over several GPUs, and ggml's package would not name it for
# the host's link.
if [ "$gpu" = cuda ]; then
  args+=(-DGGML_CUDA_NCCL=OFF)
fi
# ggml's AMX kernels (compiled in when -march=native finds AMX) crash on quantized models in
# this release. Turning off just AMX keeps every other instruction set the CPU has.
if [ "$(uname -m)" = x86_64 ]; then
  cpu_flags="-mno-amx-tile -mno-amx-int8 -mno-amx-bf16"
  args+=("-DCMAKE_C_FLAGS=$cpu_flags" "-DCMAKE_CXX_FLAGS=$cpu_flags")
fi

# Any change of settings or recipe gets a cache of its own; an old one is never reused.
key=$(printf '%s\n' "$WHISPER_VERSION" "$NPM_INTEGRITY" "${args[@]}" | cksum | cut -d ' ' -f 1)
cache=${VOICE_HOST_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/voice-host}
prefix="$cache/whisper-$WHISPER_VERSION-${gpu:-default}-$key"

if [ -f "$prefix/.complete" ]; then
  echo "$prefix"
  exit 0
fi

command -v npm >/dev/null || die "npm is needed to fetch the whisper.cpp sources"
command -v cmake >/dev/null || die "cmake is needed"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

# Runs one step with its output in a log; on failure shows the end of that log.
step() {
  local name=$1
  shift
  "$@" >"$work/$name.log" 2>&1 || { tail -n 40 "$work/$name.log" >&2; die "whisper.cpp $name failed"; }
}

start=$(date +%s)
echo "deps: fetching and building whisper.cpp $WHISPER_VERSION${gpu:+ with $gpu}" \
     "(first run only; a few minutes)" >&2
npm pack --loglevel=error "$NPM_PACKAGE" >/dev/null 2>npm.log || { cat npm.log >&2; die "could not download $NPM_PACKAGE"; }
tarball=$(ls ./*.tgz 2>/dev/null | head -n 1)
[ -n "$tarball" ] || die "npm pack produced no tarball"
actual="sha512-$(openssl dgst -sha512 -binary "$tarball" | openssl base64 -A)"
[ "$actual" = "$NPM_INTEGRITY" ] || die "checksum mismatch for $tarball: got $actual, want $NPM_INTEGRITY"

tar xzf "$tarball" package/cpp/whisper.cpp
src="$work/package/cpp/whisper.cpp"
step configure cmake -S "$src" -B build "${args[@]}" -DCMAKE_INSTALL_PREFIX="$prefix"
step build cmake --build build -j "$jobs"
rm -rf "$prefix"
step install cmake --install build
# whisper-config.cmake refuses to load without <prefix>/bin, which a library-only install lacks.
mkdir -p "$prefix/bin"
if [ -n "$gpu" ]; then
  ls "$prefix"/lib*/libggml-"$gpu".* >/dev/null 2>&1 || die "the $gpu backend was asked for but not built"
fi

# The quantizer comes from the same tree: the examples are switched on only for it, so the
# library above is not rebuilt and its install stays free of the other examples.
step quantize-configure cmake -S "$src" -B build -DWHISPER_BUILD_EXAMPLES=ON
step quantize-build cmake --build build -j "$jobs" --target whisper-quantize
cp build/bin/whisper-quantize "$prefix/bin/"

touch "$prefix/.complete"
echo "deps: whisper.cpp built in $(( $(date +%s) - start )) s into $prefix" >&2
echo "$prefix"
