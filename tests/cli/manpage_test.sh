#!/usr/bin/env bash
# The man page renders without a warning and describes every option of --help.
#   manpage_test.sh PAGE PROGRAM        (exits 77, skipped, without groff)
set -euo pipefail
page=$1 program=$2
source "$(dirname "$0")/help_options.sh"
command -v groff >/dev/null || { echo "groff is missing"; exit 77; }

warnings=$(groff -man -ww -z "$page" 2>&1)
[ -z "$warnings" ] || { echo "groff warns about $page:"; echo "$warnings"; exit 1; }
# The tags of the page's paragraphs: the line after each .TP.
tags=$(awk 'after { print; after = 0 } /^\.TP/ { after = 1 }' "$page")
status=0
for option in $(help_options "$program"); do
    grep -qF -- "${option//-/\\-}" <<<"$tags" || { echo "$page has no paragraph on $option"; status=1; }
done
exit $status
