#!/usr/bin/env bash
# Throughput of qualvex on a sequence: keys 8 generated 1920 x 1080 float EXR frames with one
# thread and then with one per core, writing ZIP-compressed and then uncompressed outputs, and
# prints the wall time of each run. Needs a build
# (bash scripts/test.sh) and oiiotool (Debian package openimageio-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
qualvex=${QUALVEX:-build/release/cli/qualvex}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for frame in 1 2 3 4 5 6 7 8; do
  oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.8,0.4,0.3,1 1920x1080 4 -d float -o "$work/plate.000$frame.exr"
done
settings=(--set InvAlpha=1 --set FadeRed=0.7 --set ValueGreen=0.6 --set MinGreen=0.1 --set MaxGreen=0.1)
for compression in zip none; do
  for threads in 1 "$(nproc)"; do
    start=$(date +%s.%N)
    "$qualvex" key "$work/plate.####.exr" -o "$work/out-$compression-$threads.####.exr" --threads "$threads" \
      --compression "$compression" -q "${settings[@]}"
    end=$(date +%s.%N)
    awk -v c="$compression" -v t="$threads" -v s="$start" -v e="$end" \
      'BEGIN { printf "%s, threads %s: 8 HD float frames in %.2f s\n", c, t, e - s }'
  done
done
