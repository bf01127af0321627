#!/usr/bin/env bash
# Soft edges against a known alpha: plates made from the real green and yellow screens in
# samples/ (qualvex_edge_plates draws the alpha: a body edge, hair strands, a veil, a
# motion-blurred box, spill), keyed by `qualvex fit` + `qualvex key` from a few rectangles, and by
# ffmpeg's chromakey and colorkey tuned against the true alpha (their best case: every similarity
# and blend of a grid tried, the one with the least edge-band error plus solid-area error kept).
# Prints one table; with OUT, also writes OUT/edges-green.png and OUT/edges-yellow.png: the plate
# and the mattes side by side (truth, qualvex, qualvex with its edges unmixed, chromakey,
# colorkey). QUALVEX_EDGES_QUICK=1 makes the green plate alone, fits it with its edges only
# (pointed at, and found), and tunes the peers over a grid of four instead of 120 (for the test
# that runs this script).
#
#   bash bench/edges.sh [BUILD_DIR] [OUT]     (default build/release; needs ffmpeg and oiiotool)
set -euo pipefail
build=${1:-build/release}
out=${2:-}
if [ -n "$out" ]; then
  mkdir -p "$out"
  out=$(cd "$out" && pwd)
fi
root=$(cd "$(dirname "$0")/.." && pwd)
for program in "$build/cli/qualvex" "$build/bench/qualvex_edge_plates"; do
  [ -x "$program" ] || { echo "edges.sh: $program is missing: build the release tree first" >&2; exit 1; }
done
for tool in ffmpeg oiiotool; do
  command -v "$tool" >/dev/null || { echo "edges.sh: $tool is missing" >&2; exit 1; }
done
qualvex=$(cd "$(dirname "$build/cli/qualvex")" && pwd)/qualvex
plates=$(cd "$(dirname "$build/bench/qualvex_edge_plates")" && pwd)/qualvex_edge_plates
work=$(mktemp -d)
trap '[ -n "${QUALVEX_EDGES_KEEP:-}" ] || rm -rf "$work"' EXIT
samples="$root/samples"
photo="$samples/skimage-tutorials/greenscreen.jpg"
# The grid the peers are tuned over.
similarities="0.01 0.02 0.03 0.05 0.07 0.1 0.13 0.16 0.2 0.25 0.3 0.4"
blends="0 0.01 0.02 0.04 0.06 0.08 0.1 0.15 0.2 0.3"
screens="green yellow"
if [ -n "${QUALVEX_EDGES_QUICK:-}" ]; then
  similarities="0.05 0.1" blends="0.1 0.2" screens=green
fi

printf '| screen | keyer | settings | edge band | hair | veil | blur | solid screen | solid subject | composite (edge band) |\n'
printf '|---|---|---|---|---|---|---|---|---|---|\n'
for screen in $screens; do
  dir="$work/$screen"
  mkdir -p "$dir"
  if [ "$screen" = green ]; then
    patch=("$photo" 0,0,160,150)
  else
    patch=("$samples/mdn-dom-examples/video_frame1196.png" 60,0,260,140)
  fi
  key=$("$plates" make "${patch[@]}" "$photo" 45,235,115,105 "$photo" 220,72,16,6 "$dir")
  cd "$dir"

  regions=(--screen 228,0,28,192 --screen 84,96,36,84 --subject 0,0,40,192)
  if [ -z "${QUALVEX_EDGES_QUICK:-}" ]; then
    "$qualvex" fit plate.png "${regions[@]}" -o rectangles.json >/dev/null
    "$qualvex" key plate.png -o rectangles.png --settings rectangles.json --despill -q
    line=$("$plates" measure . rectangles.png)
    printf '| %s | qualvex fit + key --despill | fitted | %s |\n' "$screen" "$(tr '\t' '|' <<<"$line" | sed 's/|/ | /g')"
  fi
  # The same with the edges pointed at: the strands, the veil, the blurred box, the body's edge.
  "$qualvex" fit plate.png "${regions[@]}" --edge 75,10,45,80 --edge 140,10,70,70 --edge 130,110,92,66 \
    --edge 60,100,25,90 -o fit.json >/dev/null
  "$qualvex" key plate.png -o qualvex.png --settings fit.json --despill -q
  line=$("$plates" measure . qualvex.png)
  printf '| %s | qualvex fit --edge + key --despill | fitted | %s |\n' "$screen" \
    "$(tr '\t' '|' <<<"$line" | sed 's/|/ | /g')"
  # The edges found by the fit itself, beside the screen, with no region pointed at.
  "$qualvex" fit plate.png "${regions[@]}" --edge auto -o auto.json >/dev/null
  "$qualvex" key plate.png -o auto.png --settings auto.json --despill -q
  line=$("$plates" measure . auto.png)
  printf '| %s | qualvex fit --edge auto + key --despill | fitted | %s |\n' "$screen" \
    "$(tr '\t' '|' <<<"$line" | sed 's/|/ | /g')"
  # Both fits again with the edges unmixed by the finishing tool (the plate says sRGB, so the
  # colours are unmixed in linear light). The pictures show the first.
  for fit in fit auto; do
    "$qualvex" key plate.png -o "unmixed-$fit.png" --settings "$fit.json" --despill --unmix -q
    line=$("$plates" measure . "unmixed-$fit.png")
    edges=$([ "$fit" = fit ] && echo "--edge" || echo "--edge auto")
    printf '| %s | qualvex fit %s + key --despill --unmix | fitted | %s |\n' "$screen" "$edges" \
      "$(tr '\t' '|' <<<"$line" | sed 's/|/ | /g')"
  done

  # Each peer renders the whole grid in one run, its settings changed frame by frame.
  : >grid.txt
  for s in $similarities; do
    for b in $blends; do
      echo "$s $b" >>grid.txt
    done
  done
  frames=$(wc -l <grid.txt)
  for filter in chromakey colorkey; do
    awk -v f="$filter" '{ printf "%d.0 %s@tuned similarity %s, %s@tuned blend %s;\n", NR - 1, f, $1, f, $2 }' grid.txt >commands.txt
    ffmpeg -v error -y -loop 1 -framerate 1 -i plate.png -frames:v "$frames" \
      -vf "sendcmd=f=commands.txt,$filter@tuned=color=$key:similarity=0.01:blend=0,format=rgba" \
      -f rawvideo -pix_fmt rgba grid.rgba
    "$plates" measure-frames . grid.rgba >measured.txt
    [ "$(wc -l <measured.txt)" -eq "$frames" ] || { echo "edges.sh: $filter rendered too few frames" >&2; exit 1; }
    best=$(paste grid.txt measured.txt | awk -F'\t' '{
        split($1, p, " "); value = $2 + $6 + (1 - $7)
        if (NR == 1 || value < best) { best = value; line = NR; s = p[1]; b = p[2] } }
        END { print line, s, b }')
    read -r line s b <<<"$best"
    # The tuned settings again, on their own, for the pictures and as a check of the grid's frame.
    ffmpeg -v error -y -i plate.png -vf "$filter=color=$key:similarity=$s:blend=$b,format=rgba" "$filter.png"
    alone=$("$plates" measure . "$filter.png")
    [ "$alone" = "$(sed -n "${line}p" measured.txt)" ] ||
      { echo "edges.sh: $filter's grid frame $line differs from a run with its settings alone" >&2; exit 1; }
    printf '| %s | ffmpeg %s, tuned on the truth | similarity %s, blend %s | %s |\n' "$screen" "$filter" "$s" "$b" \
      "$(tr '\t' '|' <<<"$alone" | sed 's/|/ | /g')"
  done

  if [ -n "$out" ]; then
    mkdir -p "$out"
    oiiotool truth.exr --ch A,A,A -d uint8 -o truth-alpha.png
    for name in qualvex unmixed-fit chromakey colorkey; do
      oiiotool "$name.png" --ch A,A,A -o "$name-alpha.png"
    done
    oiiotool plate.png truth-alpha.png qualvex-alpha.png unmixed-fit-alpha.png chromakey-alpha.png \
      colorkey-alpha.png --mosaic:pad=6 6x1 -o "$out/edges-$screen.png"
  fi
  cd - >/dev/null
done
