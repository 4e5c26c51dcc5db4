#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the SDK's example plug-ins from the
# sources installed in share/faltrix/examples, as a plug-in author would: the output example
# once with pkg-config's faltrix-plugin, then both with CMake's find_package(Faltrix),
# installing them beside the bundled plug-ins. The installed faltrix-convert lists the first
# and converts samples with the others, and the installed faltrix-plugin-check passes both.
#   scripts/check-sdk.sh [build-dir]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-sdk.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
examples=$prefix/share/faltrix/examples
unset FALTRIX_PLUGIN_DIR
export XDG_CACHE_HOME=$work/cache
fail() { echo "sdk: $*" >&2; exit 1; }

# pkg-config: into a plug-in folder of its own, with the bundled input plug-ins beside it.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
mkdir -p "$work/pc/output"
ln -s "$prefix/lib/faltrix/plugins/input" "$work/pc/input"
# shellcheck disable=SC2046  # the flags are words
cc -std=c11 -D_POSIX_C_SOURCE=200809L -fPIC -shared -fvisibility=hidden $(pkg-config --cflags faltrix-plugin) \
  "$examples/ppm_output.c" -o "$work/pc/output/ppm.so" $(pkg-config --libs faltrix-plugin) -Wl,--no-undefined
[ "$(pkg-config --variable=plugindir faltrix-plugin)" -ef "$prefix/lib/faltrix/plugins" ] || fail "plugindir is not the installed plug-in folder"
FALTRIX_PLUGIN_DIR=$work/pc "$prefix/bin/faltrix-convert" --list-plugins | grep -q '^  ppm ' ||
  fail "the plug-in built with pkg-config is not listed"

# CMake: configured against the prefix alone, installed into its plug-in folder.
cmake -S "$examples" -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
cmake --install "$work/cmake" >/dev/null
"$prefix/bin/faltrix-convert" -q samples/chart.jpg -o "$work/chart.ppm"
[ "$(head -c 2 "$work/chart.ppm")" = P6 ] || fail "the plug-in built with CMake wrote no PPM"
plugins=$prefix/lib/faltrix/plugins
"$prefix/bin/faltrix-convert" -q "$work/chart.ppm" -o "$work/chart.png"
[ "$(head -c 4 "$work/chart.png" | tail -c 3)" = PNG ] || fail "the input example built with CMake read no PPM"
for kind in input output; do
  readelf -d "$plugins/$kind/ppm.so" | grep -q 'NEEDED.*\[libfaltrix_gdi\.so\.[0-9]*\]' ||
    fail "the $kind example built with CMake does not need the versioned libfaltrix_gdi"
done
# Every optional entry point the examples show is exported from the installed header alone.
for entry in GetLastFailureText SetPluginOption GetPluginOptionInfo SetPictureMetadata GetStoredColourType \
  BeginFrames AddFrame EndFrames AddFrameSamples; do
  nm -D --defined-only "$plugins/output/ppm.so" | grep -qw "$entry" || fail "the output example does not export $entry"
done
for entry in GetLastFailureText SetPluginOption GetPluginOptionInfo GetPictureMetadata OpenFrames GetFrameDIB CloseFrames \
  GetFrameSamples; do
  nm -D --defined-only "$plugins/input/ppm.so" | grep -qw "$entry" || fail "the input example does not export $entry"
done
# The installed checker passes both, the input on an 8-bit and on a 12-bit sample.
for sample in samples/chart.ppm tests/plugin_check/data/chart-12-bit.ppm; do
  "$prefix/bin/faltrix-plugin-check" -q "$plugins/input/ppm.so" "$sample" >"$work/check-input.txt" ||
    fail "faltrix-plugin-check fails the input example on $sample: $(grep '^failed' "$work/check-input.txt")"
done
"$prefix/bin/faltrix-plugin-check" -q "$plugins/output/ppm.so" >"$work/check-output.txt" ||
  fail "faltrix-plugin-check fails the output example: $(grep '^failed' "$work/check-output.txt")"
echo "SDK in $prefix: the examples built with pkg-config and with CMake from share/faltrix/examples," \
  "listed, converting and passing faltrix-plugin-check"
