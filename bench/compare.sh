#!/usr/bin/env bash
# Compares, in one run and one thread each, the keyer through the loaded tool with ffmpeg's
# colorkey, hsvkey and chromakey on the same HD plate (qualvex demo's green-screen plate, scaled
# to 1920 x 1080), and prints Mpixel/s per CPU-second and the ratios the speed targets name.
# ffmpeg's figures are the filter's cost alone: the same run with only the pixel-format
# conversion the filter needs is subtracted, three times over, and the median is the figure (the
# range beside it). A plain frame copy (ffmpeg's copy filter) is the ceiling of what touching
# every pixel costs.
#
#   bash bench/compare.sh [BUILD_DIR]     (default build/release; needs ffmpeg)
set -euo pipefail
build=${1:-build/release}
frames=${QUALVEX_COMPARE_FRAMES:-60}
for program in "$build/cli/qualvex" "$build/bench/qualvex_compare_bench"; do
  [ -x "$program" ] || { echo "compare.sh: $program is missing: build the release tree first" >&2; exit 1; }
done
command -v ffmpeg >/dev/null || { echo "compare.sh: ffmpeg is missing (apt-get install ffmpeg)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$build/cli/qualvex" demo -o "$work/demo" >/dev/null
ffmpeg -v error -i "$work/demo/plate.exr" -vf "scale=1920:1080:flags=bicubic,format=rgb24" -frames:v 1 "$work/plate.png"
ffmpeg -v error -i "$work/plate.png" -f rawvideo -pix_fmt rgba "$work/plate.rgba"
# The screen's colour, as the tool's bench takes it: the pixel at (8, 8).
read -r red green blue < <(ffmpeg -v error -i "$work/plate.png" -vf "crop=1:1:8:8" -f rawvideo -pix_fmt rgb24 - |
  od -An -tu1 | awk '{print $1, $2, $3}')
hex=$(printf '0x%02X%02X%02X' "$red" "$green" "$blue")
hsv=$(awk -v r="$red" -v g="$green" -v b="$blue" 'BEGIN {
  r /= 255; g /= 255; b /= 255; max = r; if (g > max) max = g; if (b > max) max = b
  min = r; if (g < min) min = g; if (b < min) min = b; d = max - min
  h = 0; if (d > 0) { if (max == r) h = (g - b) / d; else if (max == g) h = (b - r) / d + 2; else h = (r - g) / d + 4 }
  h *= 60; if (h < 0) h += 360; s = (max > 0) ? d / max : 0
  printf "hue=%.1f:sat=%.3f:val=%.3f", h, s, max }')

# CPU seconds (user + system, as the tool's benchmark counts them) ffmpeg spends on `frames`
# frames through `chain`, one thread.
ffmpeg_seconds() {
  ffmpeg -hide_banner -nostats -benchmark -threads 1 -filter_threads 1 -filter_complex_threads 1 \
    -stream_loop $((frames - 1)) -f rawvideo -pix_fmt rgba -s 1920x1080 -i "$work/plate.rgba" \
    -vf "$1" -f null - 2>&1 | sed -n 's/.*bench: utime=\([0-9.]*\)s stime=\([0-9.]*\)s.*/\1 \2/p' |
    awk '{ printf "%.3f", $1 + $2 }'
}
mpixels() { awk -v f="$frames" -v s="$1" 'BEGIN { printf "%.1f", (s > 0) ? f * 1920 * 1080 / s / 1e6 : 0 }'; }
difference() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.4f", a - b }'; }
# A filter's Mpixel/s: its chain's CPU seconds less those of the conversion-only chain, measured
# three times, each time both chains one after the other (the difference of two timings is the
# noisiest figure here): "median lowest highest".
ffmpeg_rate() {
  local run rates=()
  for run in 1 2 3; do
    rates+=("$(mpixels "$(difference "$(ffmpeg_seconds "$1")" "$(ffmpeg_seconds "$2")")")")
  done
  printf '%s\n' "${rates[@]}" | sort -g | paste -sd' ' | awk '{ print $2, $1, $3 }'
}

read -r colorkey colorkey_low colorkey_high < <(ffmpeg_rate "format=rgba,colorkey=color=$hex:similarity=0.2:blend=0.1" \
  "format=rgba")
read -r hsvkey hsvkey_low hsvkey_high < <(ffmpeg_rate "format=yuva444p,hsvkey=$hsv:similarity=0.2:blend=0.1" \
  "format=yuva444p")
read -r chromakey chromakey_low chromakey_high < <(ffmpeg_rate \
  "format=yuva444p,chromakey=color=$hex:similarity=0.2:blend=0.1" "format=yuva444p")
read -r copy _ _ < <(ffmpeg_rate "copy" "null")

# The tool: items per second are pixels per CPU-second; the median of three runs of each.
QUALVEX_BENCH_PLATE="$work/plate.png" "$build/bench/qualvex_compare_bench" --benchmark_format=csv \
  --benchmark_min_time=0.5 --benchmark_repetitions=3 --benchmark_report_aggregates_only=true 2>/dev/null |
  grep '^"KeyPlate.*_median"' >"$work/qualvex.csv"

echo "HD plate (1920 x 1080), one thread, Mpixel/s per CPU-second (medians of three); $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "ffmpeg $(ffmpeg -version | awk 'NR == 1 {print $3}'), medians of three (lowest-highest): colorkey $colorkey ($colorkey_low-$colorkey_high), hsvkey $hsvkey ($hsvkey_low-$hsvkey_high), chromakey $chromakey ($chromakey_low-$chromakey_high), frame copy $copy"
echo
awk -F, -v colorkey="$colorkey" -v hsvkey="$hsvkey" -v chromakey="$chromakey" -v colorkeyLow="$colorkey_low" \
  -v colorkeyHigh="$colorkey_high" -v hsvkeyLow="$hsvkey_low" -v hsvkeyHigh="$hsvkey_high" \
  -v chromakeyLow="$chromakey_low" -v chromakeyHigh="$chromakey_high" '
  {
    name = $1; gsub(/"/, "", name); sub(/_median$/, "", name)
    split(name, part, "/"); storage = part[2]; space = part[3]; cc = part[4]; gamma = part[5]
    sub(/storage:/, "", storage); sub(/space:/, "", space); sub(/cc:/, "", cc); sub(/gamma14:/, "", gamma)
    rate = $7 / 1e6  # items_per_second: pixels per CPU-second
    key = storage "/" space "/" cc "/" gamma; speed[key] = rate
  }
  END {
    split("RGB HSV YXy YUV YCbCr", names, " ")
    printf "%-6s %-8s %9s %9s %9s %9s %9s %9s %9s %9s\n", "space", "storage", "cc0 g1", "cc1 g1", "cc0 g1.4", "cc1 g1.4", "cc cost", "gamma cost", "cc.7 g1", "cc.7 cost"
    for (storage = 3; storage >= 0; storage -= 3) {
      for (space = 0; space <= 4; ++space) {
        base = speed[storage "/" space "/0/0"]
        printf "%-6s %-8s %9.1f %9.1f %9.1f %9.1f %8.0f%% %8.0f%% %9.1f %8.0f%%\n", names[space + 1],
          storage == 3 ? "float" : "uint8", base, speed[storage "/" space "/1/0"], speed[storage "/" space "/0/1"],
          speed[storage "/" space "/1/1"], 100 * (base / speed[storage "/" space "/1/0"] - 1),
          100 * (base / speed[storage "/" space "/0/1"] - 1), speed[storage "/" space "/2/0"],
          100 * (base / speed[storage "/" space "/2/0"] - 1)
      }
    }
    printf "\ntargets (float, colour correction off, gamma 1; against the median ffmpeg run, and its fastest-slowest):\n"
    printf "  RGB   %.2f x colorkey  (%.2f-%.2f; target >= 1)\n", speed["3/0/0/0"] / colorkey,
      speed["3/0/0/0"] / colorkeyHigh, speed["3/0/0/0"] / colorkeyLow
    printf "  HSV   %.2f x hsvkey    (%.2f-%.2f; target >= 3)\n", speed["3/1/0/0"] / hsvkey,
      speed["3/1/0/0"] / hsvkeyHigh, speed["3/1/0/0"] / hsvkeyLow
    printf "  YUV   %.2f x chromakey (%.2f-%.2f; target >= 4)\n", speed["3/3/0/0"] / chromakey,
      speed["3/3/0/0"] / chromakeyHigh, speed["3/3/0/0"] / chromakeyLow
    printf "  YCbCr %.2f x chromakey (%.2f-%.2f; target >= 4)\n", speed["3/4/0/0"] / chromakey,
      speed["3/4/0/0"] / chromakeyHigh, speed["3/4/0/0"] / chromakeyLow
    printf "  colour correction costs at most 50%% more, gamma 1.4 at most 30%% more: the cost columns\n"
    printf "  (cc1: CC Amount 0.5, a power of two, corrected in float; cc.7: CC Amount 0.7, in double)\n"
  }' "$work/qualvex.csv"

# File to file: qualvex key on 16 uncompressed HD float EXR frames, one thread, against oiiotool
# copying the same frames in one process (the least any tool that reads and writes them costs);
# CPU seconds (user + system) of each, five runs alternating between the two (this machine's
# speed drifts within a minute): the median of each side and the range of the per-pair ratios.
for frame in $(seq 1 16); do
  oiiotool --pattern fill:top=0.1,0.6,0.2,1:bottom=0.8,0.4,0.3,1 1920x1080 4 -d float --compression none \
    -o "$work/plate.$(printf %04d "$frame").exr"
done
cpu_seconds() {
  local TIMEFORMAT='%U %S'
  rm -f "$work"/out.*.exr
  { time "$@" >/dev/null 2>&1; } 2>&1 | awk '{ printf "%.2f", $1 + $2 }'
}
for run in 1 2 3 4 5; do
  keyed=$(cpu_seconds "$build/cli/qualvex" key "$work/plate.####.exr" -o "$work/out.####.exr" --threads 1 \
    --compression none -q --key-color 0.1,0.6,0.2)
  copied=$(cpu_seconds oiiotool --threads 1 --frames 1-16 "$work/plate.#.exr" -d float --compression none \
    -o "$work/out.#.exr")
  echo "$keyed $copied" >>"$work/file-to-file"
done
echo
awk '{ k[NR] = $1; c[NR] = $2; r[NR] = $1 / $2 }
  function median(v,   n, i, j, t) { n = NR; for (i = 1; i <= n; i++) for (j = i + 1; j <= n; j++)
    if (v[j] < v[i]) { t = v[i]; v[i] = v[j]; v[j] = t } return v[int((n + 1) / 2)] }
  END {
    low = r[1]; high = r[1]; for (i = 2; i <= NR; i++) { if (r[i] < low) low = r[i]; if (r[i] > high) high = r[i] }
    mk = median(k); mc = median(c)
    printf "file to file, 16 uncompressed HD float EXR frames, one thread, CPU seconds (median of 5, alternating):\n"
    printf "  qualvex key %.2f, oiiotool copy %.2f: %.2f x (runs %.2f-%.2f x; target <= 1.15)\n", mk, mc, mk / mc, low, high }' \
  "$work/file-to-file"
