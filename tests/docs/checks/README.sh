# What the README's quick start says its commands do, measured on what they wrote, as ffmpeg
# decodes it: the photo's matte keeps both people and keys the screen; the clip's matte holds the
# person whole, jumper included, and keys the backing, in the ProRes and the VP9 movie; the movies
# hold the frames the text names. Boxes are W:H:X:Y in pixels, drawn by eye on the sources: well
# inside a person or well inside the backing.
set -euo pipefail

# The mean alpha (0..255) of box $2 of frame $3 (from 0) of file $1; $4: ffmpeg's decoder options.
mean_alpha() {
  ffmpeg -v error ${4:-} -i "$1" -vf "select=eq(n\,$3),crop=$2,alphaextract,format=gray" -frames:v 1 -f rawvideo - |
    od -An -v -tu1 | awk '{ for (i = 1; i <= NF; i++) { n++; s += $i } } END { if (n == 0) print -1; else printf "%.2f\n", s / n }'
}

failed=0
# $1 file, $2 box, $3 frame, $4 "kept" (mean alpha at least 250) or "keyed" (at most 2), $5 what.
expect() {
  local decoder=""
  [[ $1 == *.webm ]] && decoder="-c:v libvpx-vp9"  # the decoder that reads VP9's alpha
  local mean
  mean=$(mean_alpha "$1" "$2" "$3" "$decoder")
  if [ "$4" = kept ]; then
    awk -v m="$mean" 'BEGIN { exit !(m >= 250) }'
  else
    awk -v m="$mean" 'BEGIN { exit !(m >= 0 && m <= 2) }'
  fi || { echo "$1 frame $3, $5 ($2): mean alpha $mean, expected $4"; failed=1; }
}

frames() { ffprobe -v error -count_frames -select_streams v:0 -show_entries stream=nb_read_frames -of csv=p=0 "$1"; }

expect keyed.png 80:80:30:250 0 kept "the woman's cardigan"
expect keyed.png 70:70:330:100 0 kept "the man's face"
expect keyed.png 120:100:330:260 0 kept "the man's hoodie"
expect keyed.png 150:80:0:0 0 keyed "the screen, top left"
expect keyed.png 20:60:222:280 0 keyed "the screen between the two"

for movie in yellow.mov yellow.webm; do
  expect $movie 50:60:130:40 239 kept "the face, frame 240"
  expect $movie 80:20:20:170 239 kept "the jumper, frame 240"
  expect $movie 80:60:0:0 239 keyed "the backing, top left, frame 240"
  expect $movie 60:60:260:0 239 keyed "the backing, top right, frame 240"
done
[ "$(frames yellow.mov)" = 300 ] || { echo "yellow.mov: $(frames yellow.mov) frames, expected 300"; failed=1; }
[ "$(frames yellow.webm)" = 300 ] || { echo "yellow.webm: $(frames yellow.webm) frames, expected 300"; failed=1; }
[ -s yellow-sheet.png ] && [ -s sheet.png ] || { echo "a preview is missing"; failed=1; }
exit $failed
