#!/usr/bin/env bash
# What Gamma costs on keys someone would use: the two real plates in samples/ (the green-screen
# photo and the yellow clip's first frame), fitted as the README fits them, scaled to about HD
# (nearest pixel, so every value is the plate's), keyed through the loaded tool in float, one
# thread, with Gamma 1, 1.4 and the fitted Gamma (4 on both). Prints, per plate, how many pixels
# and blocks need the power (qualvex_power_shares) and the CPU time per frame (median of five).
#
#   bash bench/fitted_gamma.sh [BUILD_DIR]     (default build/release; needs ffmpeg)
set -euo pipefail
build=${1:-build/release}
root=$(cd "$(dirname "$0")/.." && pwd)
for program in "$build/cli/qualvex" "$build/bench/qualvex_compare_bench" "$build/bench/qualvex_power_shares"; do
  [ -x "$program" ] || { echo "fitted_gamma.sh: $program is missing: build the release tree with benchmarks" >&2; exit 1; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
qualvex="$build/cli/qualvex"
"$qualvex" fit "$root/samples/skimage-tutorials/greenscreen.jpg" \
  --screen 0,0,160,150 --screen 270,0,50,170 --screen 440,0,60,170 \
  --subject 20,220,150,120 --subject 330,80,80,90 --subject 260,200,200,150 -o "$work/green.json" >/dev/null
"$qualvex" fit "$root/samples/mdn-dom-examples/video.mp4" --frames 1-1 \
  --screen 0,0,80,120 --screen 220,0,100,125 --screen 296,140,24,52 \
  --subject 120,40,60,100 --subject 60,165,60,27 -o "$work/yellow.json" >/dev/null
ffmpeg -v error -i "$root/samples/skimage-tutorials/greenscreen.jpg" -vf scale=1920:1440:flags=neighbor "$work/green.png"
ffmpeg -v error -i "$root/samples/mdn-dom-examples/video_frame0001.png" -vf scale=1920:1152:flags=neighbor "$work/yellow.png"

echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(date +%F)"
for plate in green yellow; do
  echo
  "$build/bench/qualvex_power_shares" "$work/$plate.png" "$work/$plate.json"
  echo
  QUALVEX_BENCH_PLATE="$work/$plate.png" QUALVEX_BENCH_SETTINGS="$work/$plate.json" \
    "$build/bench/qualvex_compare_bench" --benchmark_filter=FittedKey --benchmark_repetitions=5 \
    --benchmark_report_aggregates_only=true --benchmark_format=csv 2>/dev/null |
    awk -F, -v plate="$plate" '/_median"/ {
        split($1, name, ":"); sub(/_median"/, "", name[2]); cpu[name[2]] = $4 }
      END {
        printf "| %s | Gamma 1 | Gamma 1.4 | Gamma as fitted |\n|---|---|---|---|\n", plate
        printf "| CPU ms a frame | %.1f | %.1f (%+.0f %%) | %.1f (%+.0f %%) |\n", cpu[0], cpu[1],
          100 * (cpu[1] / cpu[0] - 1), cpu[2], 100 * (cpu[2] / cpu[0] - 1) }'
done
