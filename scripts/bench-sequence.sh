#!/usr/bin/env bash
# Throughput of qualvex on a sequence: keys 16 generated 1920 x 1080 float EXR frames (uncompressed)
# with one thread and with one per core, writing ZIP-compressed and uncompressed outputs, three
# times each, and prints the median wall time and the speed-up from the threads. The settings make
# keying the larger part of the work (HSV, colour correction on, Gamma 1.4). Needs a build
# (bash scripts/test.sh) and oiiotool (Debian package openimageio-tools).
set -euo pipefail
cd "$(dirname "$0")/.."
qualvex=${QUALVEX:-build/release/cli/qualvex}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for frame in $(seq 1 16); do
  oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.8,0.4,0.3,1 1920x1080 4 -d float --compression none \
    -o "$work/plate.$(printf %04d "$frame").exr"
done
settings=(--set Colorspace=HSV --set ColCor=1 --set GammaAlpha=1.4 --set InvAlpha=1 --set FadeRed=0.7
          --set ValueGreen=0.6 --set MinGreen=0.1 --set MaxGreen=0.1)
cores=$(nproc)
for compression in none zip; do
  declare -A median=()
  for threads in 1 "$cores"; do
    times=()
    for run in 1 2 3; do
      rm -f "$work"/out.*.exr
      start=$(date +%s.%N)
      "$qualvex" key "$work/plate.####.exr" -o "$work/out.####.exr" --threads "$threads" \
        --compression "$compression" -q "${settings[@]}"
      end=$(date +%s.%N)
      times+=("$(awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }')")
    done
    median[$threads]=$(printf '%s\n' "${times[@]}" | sort -n | sed -n 2p)
    echo "$compression, threads $threads: 16 HD float frames in ${median[$threads]} s (median of ${times[*]})"
  done
  awk -v c="$compression" -v one="${median[1]}" -v many="${median[$cores]}" -v n="$cores" \
    'BEGIN { printf "%s: %d threads %.2f x as fast as one\n", c, n, one / many }'
done
