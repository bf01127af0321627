#!/usr/bin/env bash
# Throughput of qualvex on a sequence: keys 16 generated 1920 x 1080 float EXR frames (uncompressed)
# with one thread and with one per core, writing ZIP-compressed and uncompressed outputs, five
# alternating pairs each, and prints the median wall times and the median of the pairs' speed-ups.
# The settings make keying the larger part of the work (HSV, colour correction on, Gamma 1.4). Needs a build
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
# Wall time of one run, in seconds.
timed() {
  rm -f "$work"/out.*.exr
  local start end
  start=$(date +%s.%N)
  "$qualvex" key "$work/plate.####.exr" -o "$work/out.####.exr" --threads "$1" --compression "$2" -q "${settings[@]}"
  end=$(date +%s.%N)
  awk -v s="$start" -v e="$end" 'BEGIN { printf "%.3f", e - s }'
}
# One thread and one per core alternate, five pairs: this machine's speed swings within a minute,
# and a pair's two runs see the same machine.
for compression in none zip; do
  ones=() manys=() ratios=()
  for run in 1 2 3 4 5; do
    one=$(timed 1 "$compression")
    many=$(timed "$cores" "$compression")
    ones+=("$one") manys+=("$many")
    ratios+=("$(awk -v a="$one" -v b="$many" 'BEGIN { printf "%.2f", a / b }')")
  done
  median() { printf '%s\n' "$@" | sort -n | sed -n 3p; }
  echo "$compression, threads 1: 16 HD float frames in $(median "${ones[@]}") s (median of ${ones[*]})"
  echo "$compression, threads $cores: 16 HD float frames in $(median "${manys[@]}") s (median of ${manys[*]})"
  echo "$compression: $cores threads $(median "${ratios[@]}") x as fast as one (median of the pairs ${ratios[*]})"
done
