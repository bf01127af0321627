# What the tuning page's API example says it does: the settings saved, and the command Save
# answered keying the photo beside it, the screen keyed and the man kept (measured on the EXR as
# oiiotool reads it; boxes W:H:X:Y drawn by eye well inside the screen or the man).
set -euo pipefail
# The mean alpha (0..255) of box $2 (W:H:X:Y) of the image $1.
mean_alpha() {
  local w h x y
  IFS=: read -r w h x y <<<"$2"
  oiiotool "$1" --ch A --cut "${w}x${h}+${x}+${y}" --printstats |
    awk '/Stats Avg:/ { printf "%.2f\n", 255 * $3; found = 1 } END { if (!found) print -1 }'
}
failed=0
grep -q '"Colorspace"' tuned.json || { echo "tuned.json holds no Colorspace"; failed=1; }
keyed=samples/skimage-tutorials/greenscreen-keyed.exr
[ -s "$keyed" ] || { echo "$keyed: not written by the command Save answered"; exit 1; }
for box in 150:80:0:0 20:60:222:280; do
  m=$(mean_alpha "$keyed" $box)
  awk -v m="$m" 'BEGIN { exit !(m >= 0 && m <= 2) }' || { echo "$keyed: screen $box mean alpha $m"; failed=1; }
done
for box in 70:70:330:100 120:100:330:260; do
  m=$(mean_alpha "$keyed" $box)
  awk -v m="$m" 'BEGIN { exit !(m >= 250) }' || { echo "$keyed: the man $box mean alpha $m"; failed=1; }
done
exit $failed
