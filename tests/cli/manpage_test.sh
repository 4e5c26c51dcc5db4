#!/usr/bin/env bash
# The man page renders without a warning (option_names_test.sh checks its options).
#   manpage_test.sh PAGE        (exits 77, skipped, without groff)
set -euo pipefail
page=$1
command -v groff >/dev/null || { echo "groff is missing"; exit 77; }

# As printed, and as man shows it on an 80-column terminal.
for device in "-Tps" "-Tutf8 -rLL=80n"; do
    # shellcheck disable=SC2086  # the device's options are words
    warnings=$(groff -man -ww -z $device "$page" 2>&1)
    [ -z "$warnings" ] || { echo "groff $device warns about $page:"; echo "$warnings"; exit 1; }
done
