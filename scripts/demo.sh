#!/usr/bin/env bash
# From a fresh Debian 12 machine to a processed file: installs what is missing, builds the
# release variant, makes the default input and plays it 1.5 times as fast, pitch kept.
#
# Usage: scripts/demo.sh
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

bash scripts/setup.sh
bash scripts/build.sh --release
bash scripts/sample.sh

tool=build/release/bin/velomix
if [ ! -x "$tool" ]; then
  echo "demo: $tool was not built" >&2
  exit 1
fi
mkdir -p out
"$tool" process --tempo 1.5 data/sample.wav out/sample-tempo1.5.wav
echo "demo: input  $root/data/sample.wav"
echo "demo: output $root/out/sample-tempo1.5.wav (tempo 1.5)"
