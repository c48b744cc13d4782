#!/usr/bin/env bash
# Makes the bundled default input data/sample.wav when it is missing: about 6.5 s of English
# speech, 44.1 kHz, 16-bit, stereo. The same tools give the same bytes on every run. The right
# channel is the left at 0.7 of its level, so that a swap or mix-up of channels shows.
#
# Usage: scripts/sample.sh [--force]   (--force makes it again even when it exists)
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
out="$root/data/sample.wav"
text="The quick brown fox jumps over the lazy dog. Velomix changes the tempo, the rate and the pitch of speech."

force=0
case "${1:-}" in
  "") ;;
  --force) force=1 ;;
  *) echo "sample: unknown option $1" >&2; exit 2 ;;
esac
if [ -s "$out" ] && [ "$force" -eq 0 ]; then
  echo "$out"
  exit 0
fi
for tool in espeak-ng sox; do
  command -v "$tool" >/dev/null 2>&1 || { echo "sample: $tool is missing; run scripts/setup.sh" >&2; exit 1; }
done

mkdir -p "$root/data"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# espeak-ng speaks 22050 Hz mono; sox makes it 44.1 kHz stereo. -R and -D (no dither) keep the
# output identical from run to run.
espeak-ng -v en-us -s 175 -w "$work/speech.wav" "$text"
sox -R -D "$work/speech.wav" -r 44100 -b 16 -e signed-integer -c 2 "$work/sample.wav" \
  remix 1 1v0.7 rate -v 44100
mv "$work/sample.wav" "$out"
echo "$out"
