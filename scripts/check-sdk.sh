#!/usr/bin/env bash
# Installs a build into a temporary prefix and builds the SDK's example plug-in against it as
# a plug-in author would: once with pkg-config's faltrix-plugin, once with CMake's
# find_package(Faltrix), installing it beside the bundled output plug-ins. The installed
# faltrix-convert then lists the first and converts a sample with the second.
#   scripts/check-sdk.sh [build-dir]   (default: build/release)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/release}
work=$(mktemp -d "${TMPDIR:-/tmp}/faltrix-sdk.XXXXXX")
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null
unset FALTRIX_PLUGIN_DIR
export XDG_CACHE_HOME=$work/cache
fail() { echo "sdk: $*" >&2; exit 1; }

# pkg-config: into a plug-in folder of its own, with the bundled input plug-ins beside it.
export PKG_CONFIG_PATH=$prefix/lib/pkgconfig
mkdir -p "$work/pc/output"
ln -s "$prefix/lib/faltrix/plugins/input" "$work/pc/input"
# shellcheck disable=SC2046  # the flags are words
cc -std=c11 -D_POSIX_C_SOURCE=200809L -fPIC -shared -fvisibility=hidden $(pkg-config --cflags faltrix-plugin) \
  sdk/example/ppm_output.c -o "$work/pc/output/ppm.so" $(pkg-config --libs faltrix-plugin) -Wl,--no-undefined
[ "$(pkg-config --variable=plugindir faltrix-plugin)" -ef "$prefix/lib/faltrix/plugins" ] || fail "plugindir is not the installed plug-in folder"
FALTRIX_PLUGIN_DIR=$work/pc "$prefix/bin/faltrix-convert" --list-plugins | grep -q '^  ppm ' ||
  fail "the plug-in built with pkg-config is not listed"

# CMake: configured against the prefix alone, installed into its plug-in folder.
cmake -S sdk/example -B "$work/cmake" -G Ninja -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$work/cmake" >/dev/null
cmake --install "$work/cmake" >/dev/null
"$prefix/bin/faltrix-convert" -q samples/chart.jpg -o "$work/chart.ppm"
[ "$(head -c 2 "$work/chart.ppm")" = P6 ] || fail "the plug-in built with CMake wrote no PPM"
readelf -d "$prefix/lib/faltrix/plugins/output/ppm.so" | grep -q 'NEEDED.*\[libfaltrix_gdi\.so\.[0-9]*\]' ||
  fail "the plug-in built with CMake does not need the versioned libfaltrix_gdi"
# Every optional entry point the example shows is exported from the installed header alone.
for entry in GetLastFailureText SetPluginOption GetPluginOptionInfo SetPictureMetadata GetStoredColourType; do
  nm -D --defined-only "$prefix/lib/faltrix/plugins/output/ppm.so" | grep -qw "$entry" ||
    fail "the example plug-in does not export $entry"
done
echo "SDK in $prefix: the example plug-in built with pkg-config and with CMake, listed and converting"
