#!/usr/bin/env bash
# Installs the Debian packages the build needs, when any is missing (Debian 12, as root).
set -euo pipefail
# clang, its sanitizer and libFuzzer runtimes (libclang-rt-14-dev), its linker (lld) and llvm's
# symbolizer build and run the sanitizer tree and the fuzz targets (scripts/fuzz.sh).
packages=(cmake ninja-build g++ make pkgconf libgtest-dev libbenchmark-dev libimath-dev libopenexr-dev libopenimageio-dev libcli11-dev nlohmann-json3-dev
          libcpp-httplib-dev
          libavformat-dev libavcodec-dev libavutil-dev libswscale-dev libswresample-dev frei0r-plugins-dev
          clang libclang-rt-14-dev lld llvm)
# --tests: what the end-to-end tests drive: Chromium and npm (with Debian's nodejs, unless a
# Node.js with npm is already there) for qualvex tune's page; Slurm and munge for qualvex farm;
# ffmpeg's programs to make and decode the movie tests' movies independently of qualvex, and
# oiiotool to read what the documented examples write; strace to watch the order in which outputs
# are flushed and named; curl for the tuning page's documented API calls; GStreamer (with its
# frei0r bridge, PNG and JPEG elements) and MLT's melt, which load the frei0r filter like ffmpeg.
if [ "${1:-}" = "--tests" ]; then
  packages+=(chromium slurm-wlm munge ffmpeg openimageio-tools strace curl gstreamer1.0-tools
             gstreamer1.0-plugins-base gstreamer1.0-plugins-good gstreamer1.0-plugins-bad melt)
  command -v npm >/dev/null 2>&1 || packages+=(npm)
fi
missing=()
for package in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "ok installed" || missing+=("$package")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "installing: ${missing[*]}"
  as_root=()
  [ "$(id -u)" -eq 0 ] || as_root=(sudo)
  "${as_root[@]}" apt-get update
  DEBIAN_FRONTEND=noninteractive "${as_root[@]}" apt-get install -y --no-install-recommends "${missing[@]}"
fi
