#!/usr/bin/env bash
# Streams a long dictation session through the real host, faster than real time, and checks
# finals, segment numbers, the stream clock, errors and the resident size (see soak/soak.cpp).
#
#   scripts/soak.sh [--minutes N]      # N minutes of audio, 30 by default
#
# Uses the generated synthetic Whisper model and the Silero VAD model in models/
# ($VOICE_HOST_VAD_MODEL names another).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${VOICE_HOST_BUILD:-$root/build}
vad=${VOICE_HOST_VAD_MODEL:-$root/models/silero-v6.2.0-ggml.bin}
minutes=30
usage() { sed -n '2,/^[^#]/s/^# \{0,1\}//p' "$0"; }
while [ $# -gt 0 ]; do
  case "$1" in
    -h|--help) usage; exit 0 ;;
    --minutes) [ $# -ge 2 ] || { echo "soak.sh: --minutes needs a value" >&2; exit 2; }
               minutes=$2; shift 2 ;;
    *) echo "soak.sh: unknown option $1 (--help lists them)" >&2; exit 2 ;;
  esac
done
[ -f "$vad" ] || { echo "soak.sh: VAD model not found: $vad" >&2; exit 2; }

"$root/scripts/build.sh" >/dev/null

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
phrase="the soak keeps every word"
"$build/tools/make_model" --out "$work/synthetic-whisper.bin" --phrase "$phrase" >/dev/null

# A handful of short utterances, spoken once and trimmed to their speech; the session reuses them.
texts=(
  "Please schedule the meeting for next Tuesday morning"
  "The quick brown fox jumps over the lazy dog"
  "Send the report to the whole team today"
  "Remind me to buy milk on the way home"
  "Open a new paragraph and start with a summary"
  "Turn the volume down a little bit"
)
speech=()
for i in "${!texts[@]}"; do
  PAUSE_S=0.1 "$root/scripts/synth_speech.sh" "$work/utterance$i.wav" "${texts[$i]}"
  sox "$work/utterance$i.wav" -t raw -e signed -b 16 -c 1 -r 16000 "$work/utterance$i.raw" \
    silence 1 0.02 0.3% reverse silence 1 0.02 0.3% reverse
  speech+=("$work/utterance$i.raw")
done

"$build/soak/soak" --host "$build/voice-host" --model "$work/synthetic-whisper.bin" \
  --vad-model "$vad" --minutes "$minutes" --phrase "$phrase" "${speech[@]}"
