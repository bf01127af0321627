#!/usr/bin/env bash
# qualvex key into movies against ffmpeg's own chain doing the same work, in one run: the yellow
# clip in samples/ (300 frames, 320 x 192) to VP9 with alpha, and 30 HD frames (qualvex demo's
# plate scaled to 1920 x 1080, float EXR) to ProRes 4444 with alpha. ffmpeg keys with chromakey and
# despill and encodes with the encoder settings qualvex uses; qualvex keys with the fitted (clip)
# or the demo's (plate) settings and --despill. Each side runs three times, alternating; prints
# the medians of CPU seconds (user + system), wall seconds and peak memory, and the ratios.
#
#   bash bench/movies.sh [BUILD_DIR]     (default build/release; needs ffmpeg and GNU time)
set -euo pipefail
build=${1:-build/release}
root=$(cd "$(dirname "$0")/.." && pwd)
qualvex="$build/cli/qualvex"
[ -x "$qualvex" ] || { echo "movies.sh: $qualvex is missing: build the release tree first" >&2; exit 1; }
command -v ffmpeg >/dev/null || { echo "movies.sh: ffmpeg is missing (apt-get install ffmpeg)" >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "movies.sh: GNU time is missing (apt-get install time)" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

clip="$root/samples/mdn-dom-examples/video.mp4"
"$qualvex" fit "$clip" --frames 1-1 --screen 0,0,80,120 --screen 220,0,100,125 --screen 296,140,24,52 \
  --subject 120,40,60,100 --subject 60,165,60,27 -o "$work/yellow.json" >/dev/null
"$qualvex" demo -o "$work/demo" >/dev/null
ffmpeg -v error -i "$work/demo/plate.exr" -vf scale=1920:1080:flags=bicubic -frames:v 1 "$work/hd.exr"
for i in $(seq -f %04g 1 30); do ln -s hd.exr "$work/plate.$i.exr"; done
# The screens' colours for chromakey: the clip's first frame and the plate at (8, 8).
screen() { ffmpeg -v error -i "$1" -vf "format=rgb24,crop=1:1:8:8" -frames:v 1 -f rawvideo - | od -An -tx1 | tr -d ' \n'; }
yellow=$(screen "$clip")
green=$(screen "$work/hd.exr")
vp9="-c:v libvpx-vp9 -crf 10 -b:v 0 -deadline good -cpu-used 4 -row-mt 1 -auto-alt-ref 0"
prores="-c:v prores_ks -profile:v 4444 -alpha_bits 16"

# Runs a command under GNU time; prints "cpu wall kB".
measure() { /usr/bin/time -f "%U %S %e %M" -o "$work/time" "$@" >/dev/null 2>&1; awk '{ printf "%.2f %.2f %d\n", $1 + $2, $3, $4 }' "$work/time"; }
runs() {  # name, then the command
  local name=$1; shift
  for _ in 1 2 3; do rm -f "$work"/out.*; measure "$@" >>"$work/$name"; done
}
for _ in 1; do
  runs qualvex-vp9 "$qualvex" key "$clip" -o "$work/out.webm" --settings "$work/yellow.json" --frames 1-300 --despill -q
  # shellcheck disable=SC2086
  runs ffmpeg-vp9 ffmpeg -v error -i "$clip" -frames:v 300 -an \
    -vf "chromakey=color=0x$yellow:similarity=0.2:blend=0.1,despill=type=green,format=yuva420p" $vp9 "$work/out.webm"
  runs qualvex-prores "$qualvex" key "$work/plate.####.exr" -o "$work/out.mov" --settings "$root/cli/demo_settings.json" \
    --frame-rate 25 --despill -q
  # shellcheck disable=SC2086
  runs ffmpeg-prores ffmpeg -v error -framerate 25 -i "$work/plate.%04d.exr" \
    -vf "chromakey=color=0x$green:similarity=0.2:blend=0.1,despill=type=green,format=yuva444p10le" $prores "$work/out.mov"
done

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
echo "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //'), $(nproc) cores, $(date +%F); medians of three"
echo "| movie | qualvex CPU s | ffmpeg CPU s | ratio | qualvex wall s | ffmpeg wall s | ratio | qualvex MB | ffmpeg MB | ratio |"
echo "|---|---|---|---|---|---|---|---|---|---|"
for movie in vp9 prores; do
  set -- $(for column in 1 2 3; do for side in qualvex ffmpeg; do cut -d' ' -f$column "$work/$side-$movie" | median; done; done)
  awk -v m="$movie" -v qc="$1" -v fc="$2" -v qw="$3" -v fw="$4" -v qm="$5" -v fm="$6" 'BEGIN {
    printf "| %s | %.2f | %.2f | %.2f | %.2f | %.2f | %.2f | %.0f | %.0f | %.2f |\n", m == "vp9" ? "clip to VP9" : "30 HD frames to ProRes",
      qc, fc, qc / fc, qw, fw, qw / fw, qm / 1024, fm / 1024, qm / fm }'
done
