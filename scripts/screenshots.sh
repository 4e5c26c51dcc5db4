#!/usr/bin/env bash
# Screenshots of both dialog layouts with a previewed picture, for docs/.
#
#   scripts/screenshots.sh [build-dir]      (default: build/release)
#
# Starts the dialog under Xvfb with the bundled plug-ins of the build: once on a 240 x 320
# screen (layout 102), once on a wide screen (layout 103). Each run previews a sample picture,
# converts it to PNG and saves the dialog as docs/dialog-102.png and docs/dialog-103.png. The
# sample is copied into a work folder and named there without a folder, so that no path of
# the machine that made them shows. Then, on the 240 x 320 screen under the openbox window
# manager (when installed), the whole screen with a Detail dialog open over layout 102: the PNG
# output's at 96 dpi (docs/dialog-102-detail-png.png) and the JPEG XL output's at 120 dpi
# (docs/dialog-102-detail-jxl.png, left out of a build without that plug-in).
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/release}
[[ $build = /* ]] || build=$root/$build
tool=$build/bin/faltrix_screenshot
if [ ! -x "$tool" ]; then
  cmake --build "$build" --target faltrix_screenshot faltrix bmp_input_plugin bmp_output_plugin png_input_plugin png_output_plugin >/dev/null
fi

# A sample picture: the first of samples/ the bundled plug-ins read, else one made here.
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
sample=
for candidate in "$root"/samples/chart.bmp "$root"/samples/*.{bmp,png,jpg,jpeg,gif,tif,tiff,webp}; do
  if [ -f "$candidate" ]; then sample=$candidate; break; fi
done
if [ -z "$sample" ]; then
  sample=$work/sample.bmp
  python3 - "$sample" <<'PY'
import math, struct, sys
w, h = 320, 240
rows = []
for y in range(h):
    row = bytearray()
    for x in range(w):
        r, g, b = 90 + y // 3, 180 - y // 4, 230 - y // 2
        if (x - 240) ** 2 + (y - 60) ** 2 < 900:
            r, g, b = 250, 200, 60
        if y > 150 + 30 * math.sin(x / 40):
            r, g, b = 60, 150 - (y - 150) // 2, 70
        row += bytes((max(0, min(255, b)), max(0, min(255, g)), max(0, min(255, r))))
    row += b"\0" * (-len(row) % 4)
    rows.append(bytes(row))
data = b"".join(reversed(rows))
header = struct.pack("<2sIHHI", b"BM", 54 + len(data), 0, 0, 54)
header += struct.pack("<IiiHHIIiiII", 40, w, h, 1, 24, 0, len(data), 2835, 2835, 0, 0)
open(sys.argv[1], "wb").write(header + data)
PY
fi

mkdir -p "$root/docs"
export FALTRIX_INSTANCE_NAME=faltrix-screenshots-$$
export XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$work/runtime}
mkdir -p "$XDG_RUNTIME_DIR" && chmod 700 "$XDG_RUNTIME_DIR"
# A state file and settings of their own: what the user's last run left is neither shown nor
# replaced.
export XDG_STATE_HOME=$work/state XDG_CONFIG_HOME=$work/config
mkdir -p "$work/pictures"
cp "$sample" "$work/pictures/chart.${sample##*.}"
cd "$work/pictures"
sample=chart.${sample##*.}
unset QT_QPA_PLATFORM
# The layout follows the screen width: 240 pixels gives 102, wider gives 103.
xvfb-run -a -s "-screen 0 240x320x24" "$tool" "$root/docs/dialog-102.png" "$sample"
xvfb-run -a -s "-screen 0 800x600x24" "$tool" "$root/docs/dialog-103.png" "$sample"
echo "wrote docs/dialog-102.png and docs/dialog-103.png"

# With a Detail dialog open, framed by openbox as a desktop user sees it.
wm='command -v openbox >/dev/null && { openbox >/dev/null 2>&1 &
  for i in $(seq 20); do xprop -root _NET_SUPPORTING_WM_CHECK 2>/dev/null | grep -q window && break; sleep 0.5; done; }; exec "$0" "$@"'
for shot in "96 png" "120 jxl"; do
  set -- $shot
  [ -f "$build/bin/plugins/output/$2.so" ] || continue
  QT_FONT_DPI=$1 xvfb-run -a -s "-screen 0 240x320x24" sh -c "$wm" \
    "$tool" "$root/docs/dialog-102-detail-$2.png" "$sample" detail="$2"
  echo "wrote docs/dialog-102-detail-$2.png"
done
