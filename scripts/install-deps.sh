#!/usr/bin/env bash
# Installs the Debian 12 packages Faltrix needs to build, test and take screenshots.
# Idempotent: prints nothing when everything is there. Needs root to install; otherwise it
# prints the one command to run.
set -euo pipefail

packages=(
  g++ make cmake ninja-build pkg-config
  qt6-base-dev qt6-base-dev-tools qt6-svg-dev
  libpng-dev libdeflate-dev libjpeg62-turbo-dev libgif-dev libtiff-dev libwebp-dev libheif-dev libde265-dev libjxl-dev libopenjp2-7-dev libexif-dev liblcms2-dev libswscale-dev
  librsvg2-dev libpoppler-glib-dev libopenexr-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libavif-dev
  libraw-dev libraw-bin dcraw
  libheif-examples libjxl-tools libavif-bin webp python3-pil netpbm libopenjp2-tools
  librsvg2-bin poppler-utils
  openexr imagemagick libvips-tools
  parallel
  clang clang-format universal-ctags libclang-rt-14-dev
  xvfb xauth openbox x11-utils xdotool fonts-dejavu-core
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
    missing+=("$p")
  fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "Faltrix needs these packages: ${missing[*]}" >&2
  echo "Run: sudo apt-get update && sudo apt-get install -y ${missing[*]}" >&2
  exit 1
fi

echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
apt-get update -qq
apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
