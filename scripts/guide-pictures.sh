#!/usr/bin/env bash
# Regenerates the pictures of docs/guide.md into docs/pictures/: the demo plate keyed with the
# shipped settings (the preview sheet), alpha along the grey diagonal for four shapings, the matte
# at four settings and the rejection view, all rendered through the loaded tool. Needs a build
# (bash scripts/test.sh, or cmake --build build/release).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${BUILD:-build/release}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
"$build/cli/qualvex" demo -o "$work/demo" -q > /dev/null
mkdir -p docs/pictures
"$build/cli/qualvex" key "$work/demo/plate.exr" -o "$work/keyed.exr" --settings cli/demo_settings.json \
  --preview docs/pictures/preview.png --overwrite -q
"$build/tools/qualvex_guide_pictures" "$work/demo/plate.exr" cli/demo_settings.json docs/pictures
