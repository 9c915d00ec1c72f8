#!/usr/bin/env bash
# Makes the six spoken prompts the box plays, as 8 kHz 16-bit mono WAV files in the folder given.
# Speech comes from espeak-ng; where it is missing, each prompt is a short tone so the box still
# has something to play. The beep is always a tone.
set -euo pipefail
out=${1:?usage: make-prompts.sh OUTPUT_FOLDER}
mkdir -p "$out"

declare -A texts=(
  [welcome]="Welcome to the voice mailbox."
  [enter]="Please enter the mailbox number."
  [message]="Please leave your message after the tone."
  [notfound]="Sorry, this mailbox does not exist."
  [thank]="Thank you. Goodbye."
)

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
for name in "${!texts[@]}"; do
  if command -v espeak-ng >/dev/null; then
    espeak-ng -s 150 -w "$tmp/$name.wav" "${texts[$name]}"
    sox -q "$tmp/$name.wav" -r 8000 -b 16 -c 1 -e signed-integer "$out/$name.wav"
  else
    sox -q -n -r 8000 -b 16 -c 1 -e signed-integer "$out/$name.wav" synth 0.6 sine 600 vol 0.3
  fi
done
sox -q -n -r 8000 -b 16 -c 1 -e signed-integer "$out/beep.wav" synth 0.4 sine 1000 vol 0.4 fade 0.01 0.4 0.01
