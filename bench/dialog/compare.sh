#!/usr/bin/env bash
# The dialog's figures, each beside its peer in one run: the event loop during a 6000 x 4000
# anti-alias conversion next to the idle dialog, and the start of the dialog with the bundled
# plug-ins next to the start of a bare Qt dialog.
set -euo pipefail
cd "$(dirname "$0")/../.."
bin=${1:-build/release}/bin
"$bin/dialog_figures" stall 6000 4000
"$bin/dialog_figures" startup 7
