#!/usr/bin/env bash
# Installs a build into a temporary prefix and uses the installed programs as a user would:
# faltrix-convert must find the installed plug-ins, list them and convert a sample, and each
# installed program and plug-in must load the installed graphics layer.
#   scripts/check-install.sh [build-dir]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
prefix=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-install.XXXXXX")
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null
unset FALTRIX_PLUGIN_DIR
# The programs and every plug-in find the graphics layer by its versioned soname in the prefix.
for binary in "$prefix/lib/faltrix/faltrix-convert" "$prefix/bin/faltrix-plugin-check" "$prefix"/lib/faltrix/plugins/*/*.so; do
  found=$(ldd "$binary" | sed -n 's/^[[:space:]]*libfaltrix_gdi\.so\.[0-9]* => \(.*\) (.*/\1/p')
  [ -n "$found" ] && [ "$(realpath "$found")" = "$(realpath "$prefix/lib/libfaltrix_gdi.so.1")" ] ||
    { echo "installed: $binary does not find $prefix/lib/libfaltrix_gdi.so.1" >&2; ldd "$binary" >&2; exit 1; }
done
bash scripts/check-runpath.sh "$prefix/lib" "$prefix/bin"
convert="$prefix/bin/faltrix-convert"
# The installed program lists exactly the plug-ins the build made, as bundled-plugins.txt
# (written by configure from the table in plugins/CMakeLists.txt) names them: "input/bmp" ...
listing=$("$convert" --list-plugins)
listed=$(awk '/^Input plug-ins/ {kind = "input"} /^Output plug-ins/ {kind = "output"}
              /^  [^ ]/ {print kind "/" $1}' <<<"$listing" | sort)
built=$(awk '$2 == "built" {print $1}' "$build/bundled-plugins.txt" | sort)
[ -n "$built" ] && [ "$listed" = "$built" ] ||
  { echo "installed: the plug-ins listed are not those built" >&2; diff <(echo "$built") <(echo "$listed") >&2; exit 1; }
"$convert" -q samples/chart.jpg -o "$prefix/chart.png"
"$convert" -q -W 64 "$prefix/chart.png" -o "$prefix/chart.bmp"
[ "$(head -c 8 "$prefix/chart.png" | od -An -tx1 | tr -d ' ')" = 89504e470d0a1a0a ] || { echo "installed: no PNG written" >&2; exit 1; }
[ "$(head -c 2 "$prefix/chart.bmp")" = BM ] || { echo "installed: no BMP written" >&2; exit 1; }
echo "installed programs in $prefix: $(wc -l <<<"$built") plug-ins listed, samples converted"
