#!/usr/bin/env bash
# synth_speech.sh OUT.wav TEXT [TEXT ...]: speaks each text with espeak-ng and joins them into
# one 16 kHz mono 16-bit WAV, with PAUSE_S seconds of silence (default 1.5) before, between
# and after the utterances, which is what the host's pause endpointing expects from a speaker.
set -euo pipefail
out=$1; shift
pause=${PAUSE_S:-1.5}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sox -n -r 16000 -c 1 -b 16 "$work/pause.wav" trim 0 "$pause"
parts=("$work/pause.wav")
i=0
for text in "$@"; do
  i=$((i + 1))
  espeak-ng -w "$work/raw$i.wav" "$text"
  sox "$work/raw$i.wav" -r 16000 -c 1 -b 16 "$work/utt$i.wav"
  parts+=("$work/utt$i.wav" "$work/pause.wav")
done
sox "${parts[@]}" "$out"
