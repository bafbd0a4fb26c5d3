#!/usr/bin/env bash
# Coverage-guided fuzzing of the command channel: builds voice-host-scripted with AFL++'s
# instrumentation and ASan+UBSan into build-fuzz/, then runs afl-fuzz on its standard input,
# starting from the sessions in tests/fuzz/corpus. Fails if any input crashed or hung the host.
#
#   DURATION=3600 FUZZ_JOBS=4 scripts/fuzz.sh
#
# DURATION: seconds of fuzzing (default 120).
# FUZZ_JOBS: parallel afl-fuzz instances (default: one per core).
# Findings stay in build-fuzz/fuzz-out/*/{crashes,hangs}; replay one with
#   build-fuzz/tests/fake/voice-host-scripted < FILE   (run in build-fuzz/fuzz-work)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
case "${1:-}" in
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "fuzz.sh: takes no arguments (--help says what it does)" >&2; exit 2 ;;
esac
build=${VOICE_HOST_FUZZ_BUILD:-$root/build-fuzz}
duration=${DURATION:-120}
jobs=${FUZZ_JOBS:-$(getconf _NPROCESSORS_ONLN 2>/dev/null || echo 4)}
vad_model=${VOICE_HOST_TEST_VAD_MODEL:-$root/models/silero-v6.2.0-ggml.bin}
[ -f "$vad_model" ] || { echo "fuzz: VAD model not found: $vad_model" >&2; exit 1; }

for tool in afl-fuzz afl-clang-fast afl-clang-fast++; do
  command -v "$tool" >/dev/null || { echo "fuzz: $tool missing (scripts/setup.sh installs afl++)" >&2; exit 1; }
done

mkdir -p "$build"
AFL_QUIET=1 CC=afl-clang-fast CXX=afl-clang-fast++ VOICE_HOST_BUILD=$build \
  VOICE_HOST_TARGETS="voice-host-scripted test_models" \
  "$root/scripts/build.sh" -DVOICE_HOST_SANITIZE=address,undefined >"$build/build.log" 2>&1 \
  || { tail -n 30 "$build/build.log" >&2; echo "fuzz: build failed" >&2; exit 1; }
target=$build/tests/fake/voice-host-scripted

# The seeds name the models by short relative paths, which afl-fuzz can mutate cheaply.
work=$build/fuzz-work
out=$build/fuzz-out
rm -rf "$work" "$out"
mkdir -p "$work"
ln -s "$build/models/synthetic-whisper.bin" "$work/m.bin"
ln -s "$vad_model" "$work/v.bin"

# Without a script the scripted library runs on its defaults and writes no log; the machine's
# core_pattern and CPU governor are not ours to change, and a busy machine may have no free core.
export AFL_NO_UI=1 AFL_SKIP_CPUFREQ=1 AFL_I_DONT_CARE_ABOUT_MISSING_CRASHES=1 AFL_TRY_AFFINITY=1
unset FAKE_WHISPER_SCRIPT FAKE_WHISPER_LOG TELLVANE_VOICE_HOST_DEBUG ASAN_OPTIONS UBSAN_OPTIONS

fuzz_one() {
  local role=$1 name=$2
  (cd "$work" && timeout $((duration + 300)) afl-fuzz "$role" "$name" -i "$root/tests/fuzz/corpus" \
     -o "$out" -x "$root/tests/fuzz/commands.dict" -m none -t 5000 -V "$duration" -- "$target" \
     >"$out-$name.log" 2>&1)
}

pids=()
fuzz_one -M main & pids+=($!)
for i in $(seq 2 "$jobs"); do
  fuzz_one -S "helper$i" & pids+=($!)
done
status=0
for pid in "${pids[@]}"; do wait "$pid" || status=1; done
if [ "$status" != 0 ]; then
  for log in "$out"-*.log; do echo "=== $log"; tail -n 25 "$log"; done >&2
  echo "fuzz: afl-fuzz did not finish cleanly" >&2
  exit 1
fi

execs=0
for stats in "$out"/*/fuzzer_stats; do
  execs=$((execs + $(awk '$1 == "execs_done" { print $3 }' "$stats")))
done
corpus=$(ls "$out"/main/queue | grep -c '^id:' || true)
findings=$(find "$out" -path '*/crashes/id:*' -o -path '*/hangs/id:*' | sort)
echo "fuzz: $execs runs in ${duration}s over $jobs instances, $corpus inputs in the main queue"
if [ -n "$findings" ]; then
  echo "fuzz: inputs that crashed or hung the host:" >&2
  for f in $findings; do
    echo "=== $f ($(wc -c <"$f") bytes)" >&2
    head -c 600 "$f" | cat -v >&2
    echo >&2
  done
  exit 1
fi
[ "$execs" -gt 0 ] || { echo "fuzz: afl-fuzz ran nothing" >&2; exit 1; }
