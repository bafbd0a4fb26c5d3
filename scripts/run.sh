#!/usr/bin/env bash
# The host's main job: build it, then stream one utterance through it and print the events.
#
#   scripts/run.sh [--wav FILE] [--model WHISPER.bin] [--vad-model VAD.bin] [--text TEXT]
#                  [--speed X] [--configure JSON]
#
#   --wav FILE         stream this 16 kHz mono 16-bit WAV instead of synthesizing TEXT
#   --model FILE       a whisper.cpp speech model (default: the generated synthetic model,
#                      whose text is a fixed phrase, not a transcript)
#   --vad-model FILE   the VAD model (default: models/silero-v6.2.0-ggml.bin, or
#                      $VOICE_HOST_VAD_MODEL)
#   --text TEXT        what espeak-ng says when there is no --wav
#   --speed X          X times real time; 0 streams as fast as possible (default 1)
#   --configure JSON   more keys for the "configure" command, e.g. '{"language":"auto"}'
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
wav="" model="" vad="${VOICE_HOST_VAD_MODEL:-$root/models/silero-v6.2.0-ggml.bin}"
text="Hello, this is a short dictation test." speed=1 configure='{}'
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --wav|--model|--vad-model|--text|--speed|--configure)
      [ $# -ge 2 ] || { echo "run.sh: $1 needs a value" >&2; exit 2; } ;;
    *) echo "run.sh: unknown option $1 (--help lists them)" >&2; exit 2 ;;
  esac
  case "$1" in
    --wav) wav=$2 ;;
    --model) model=$2 ;;
    --vad-model) vad=$2 ;;
    --text) text=$2 ;;
    --speed) speed=$2 ;;
    --configure) configure=$2 ;;
  esac
  shift 2
done

[ -f "$vad" ] || { echo "run.sh: VAD model not found: $vad (pass --vad-model)" >&2; exit 2; }

"$root/scripts/ensure_packages.sh" run
# Only what this job runs: the tests and the benchmark are scripts/test.sh's and bench/run.sh's.
VOICE_HOST_TARGETS="voice-host stream_audio test_models" "$root/scripts/build.sh"
if [ -z "$model" ]; then
  model="$build/models/synthetic-whisper.bin"
  echo "note: using the generated synthetic Whisper model; its text is a fixed phrase, not a transcript" >&2
fi
if [ -z "$wav" ]; then
  work=$(mktemp -d)
  trap 'rm -rf "$work"' EXIT
  wav=$work/utterance.wav
  "$root/scripts/synth_speech.sh" "$wav" "$text"
fi
"$build/tools/stream_audio" --host "$build/voice-host" --model "$model" --vad-model "$vad" \
  --wav "$wav" --speed "$speed" --configure "$configure"
