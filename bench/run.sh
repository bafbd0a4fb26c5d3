#!/usr/bin/env bash
# bench/run.sh [--quick]: builds the host, the benchmark and its base-shape models,
# synthesizes dictation with espeak-ng, runs the benchmark and prints its table. The full run
# (a few minutes) also writes the table to bench/RESULTS.md; --quick (a minute or two) writes
# nothing. The exit status is the benchmark's: non-zero when a host misbehaves (dies, reports
# an error, misses a final), never because of a time. The VAD model is the one in models/
# ($VOICE_HOST_VAD_MODEL names another).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
quick=""
case "${1:-}" in
  --quick) quick=--quick ;;
  -h|--help) sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; exit 0 ;;
  "") ;;
  *) echo "usage: bench/run.sh [--quick]" >&2; exit 2 ;;
esac

vad=${VOICE_HOST_VAD_MODEL:-$root/models/silero-v6.2.0-ggml.bin}
[ -f "$vad" ] || { echo "bench/run.sh: VAD model not found: $vad (set VOICE_HOST_VAD_MODEL)" >&2; exit 2; }

VOICE_HOST_BUILD=$build VOICE_HOST_TARGETS="all bench_models" "$root/scripts/build.sh"
# Models of the base shape, as whisper.cpp ships it and quantized; --quick keeps the first.
shapes=("$build/bench/models/synthetic-base.bin")
[ -f "$build/bench/models/synthetic-base-q5_1.bin" ] && shapes+=("$build/bench/models/synthetic-base-q5_1.bin")
[ -n "$quick" ] && shapes=("${shapes[0]}")
shape_args=()
for m in "${shapes[@]}"; do shape_args+=(--shape-model "$m"); done

# Short sentences, so that each one ends at a pause rather than at the partial window.
sentences=(
  "Please open the quarterly report."
  "Send a note to the design team."
  "The meeting moves to Thursday."
  "Add milk and bread to the list."
  "Remind me to call the bank."
  "The results look better than expected."
  "Schedule a review for next week."
  "Turn the heating down a little."
  "Copy this paragraph into the draft."
  "Thank you for the quick answer."
  "We should leave before the rain."
  "Save the file and close the window."
)
[ -n "$quick" ] && sentences=("${sentences[@]:0:4}")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PAUSE_S=1.5 "$root/scripts/synth_speech.sh" "$work/speech.wav" "${sentences[@]}"
sox "$work/speech.wav" -t raw -e signed-integer -b 16 -c 1 -r 16000 -L "$work/speech.raw"

status=0
"$build/bench/voice-host-bench" $quick --speech "$work/speech.raw" --vad-model "$vad" \
  "${shape_args[@]}" >"$work/table.txt" || status=$?
cat "$work/table.txt"
if [ -z "$quick" ] && [ "$status" -eq 0 ]; then
  {
    echo "# Benchmark results"
    echo
    echo "Written by \`bench/run.sh\` (full run); \`bench/run.sh --quick\` prints a shorter one."
    echo
    echo "Every row comes from the same run. The floor of a final is what the library alone needs:"
    echo "the time until VAD, run on ever longer prefixes 10 ms apart, first shows the 0.85 s pause"
    echo "after the speech, plus the decode of that final. The library alone replays the host's own"
    echo "calls (the buffer lengths of its passes and decodes) right after each phase, at the same"
    echo "pacing. The scripted library answers at once, so it shows the host's own cost. Rows 7 run"
    echo "the same real-time speech through generated models of Whisper's base shape (f16, and q5_1"
    echo "made by whisper-quantize): real decode costs, with a fixed phrase for the text."
    echo
    cat "$work/table.txt"
  } >"$root/bench/RESULTS.md"
  echo "bench/run.sh: wrote bench/RESULTS.md" >&2
fi
exit "$status"
