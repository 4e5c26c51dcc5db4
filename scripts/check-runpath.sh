#!/usr/bin/env bash
# Every program and library under the given folders must find its libraries only in named
# folders: each RPATH or RUNPATH entry absolute or relative to $ORIGIN. An empty entry (as a
# padded build path leaves) or a relative one makes the loader search whatever folder the
# program is run from, so that a library lying there would be loaded and run.
#   scripts/check-runpath.sh FOLDER...
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FOLDER..." >&2; exit 2; }
checked=0 bad=0
while IFS= read -r -d '' file; do
  [ "$(head -c 4 "$file" | od -An -tx1 | tr -d ' ')" = 7f454c46 ] || continue
  checked=$((checked + 1))
  while IFS= read -r paths; do
    IFS=: read -r -a entries <<<"$paths:"
    # read drops one trailing empty field: the added colon keeps a real trailing one.
    for ((i = 0; i < ${#entries[@]}; i++)); do
      entry=${entries[$i]}
      if [ "$entry" = "" ] || { [ "${entry:0:1}" != / ] && [ "${entry:0:7}" != '$ORIGIN' ]; }; then
        echo "$file: searches '${entry}' (from '$paths')" >&2
        bad=$((bad + 1))
      fi
    done
  done < <(readelf -dW "$file" 2>/dev/null | sed -n 's/.*(\(RPATH\|RUNPATH\)).*\[\(.*\)\]$/\2/p')
done < <(find "$@" -type f -print0)
[ "$checked" -gt 0 ] || { echo "no ELF files under $*" >&2; exit 1; }
if [ "$bad" -gt 0 ]; then
  echo "$bad search path entries would let the current folder supply libraries" >&2
  exit 1
fi
echo "$checked programs and libraries search only named folders"
