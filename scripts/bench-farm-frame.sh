#!/usr/bin/env bash
# What one frame costs a farm node: for HD (1920 x 1080) and 4K (4096 x 2160) float EXR plates,
# ZIP-compressed and uncompressed (the output as its source), keys 4 frames with one thread and
# prints the CPU seconds per frame and the bytes read and written per frame. Feeds the scale
# model in docs/farm.md. Needs a build (bash scripts/test.sh) and oiiotool (openimageio-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
qualvex=${QUALVEX:-build/release/cli/qualvex}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
settings=(--set InvAlpha=1 --set FadeRed=0.7 --set ValueGreen=0.6 --set MinGreen=0.1 --set MaxGreen=0.1)
for size in 1920x1080 4096x2160; do
  for compression in zip none; do
    dir="$work/$size-$compression"
    mkdir -p "$dir"
    # A lit gradient with film-like noise: noise is what makes real plates compress as they do.
    oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.8,0.4,0.3,1 "$size" 4 \
      --pattern noise:type=gaussian:mean=0:stddev=0.02 "$size" 4 --add -d float \
      --compression "$compression" -o "$dir/plate.0001.exr"
    for frame in 2 3 4; do cp "$dir/plate.0001.exr" "$dir/plate.000$frame.exr"; done
    times=$( { /usr/bin/time -f "%U %S" "$qualvex" key "$dir/plate.####.exr" -o "$dir/keyed.####.exr" \
      --threads 1 -q "${settings[@]}" ; } 2>&1 | tail -1)
    read_bytes=$(stat -c %s "$dir/plate.0001.exr")
    written=$(stat -c %s "$dir/keyed.0001.exr")
    awk -v s="$size" -v c="$compression" -v t="$times" -v r="$read_bytes" -v w="$written" 'BEGIN {
      split(t, u, " "); printf "%s %s: %.2f CPU s per frame, %.1f MB read, %.1f MB written\n",
        s, c, (u[1] + u[2]) / 4, r / 1e6, w / 1e6 }'
  done
done
