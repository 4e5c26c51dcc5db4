#!/usr/bin/env bash
# The man page renders without a warning and describes every option of --help.
#   manpage_test.sh PAGE PROGRAM        (exits 77, skipped, without groff)
set -euo pipefail
page=$1 program=$2
source "$(dirname "$0")/help_options.sh"
command -v groff >/dev/null || { echo "groff is missing"; exit 77; }

# As printed, and as man shows it on an 80-column terminal.
for device in "-Tps" "-Tutf8 -rLL=80n"; do
    # shellcheck disable=SC2086  # the device's options are words
    warnings=$(groff -man -ww -z $device "$page" 2>&1)
    [ -z "$warnings" ] || { echo "groff $device warns about $page:"; echo "$warnings"; exit 1; }
done
# The tags of the page's paragraphs: the line after each .TP.
tags=$(awk 'after { print; after = 0 } /^\.TP/ { after = 1 }' "$page")
status=0
for option in $(help_options "$program"); do
    grep -qF -- "${option//-/\\-}" <<<"$tags" || { echo "$page has no paragraph on $option"; status=1; }
done
exit $status
