#!/usr/bin/env bash
# expect.sh STATUS LINE COMMAND...: runs COMMAND and shows what it printed; succeeds when it
# exited with STATUS and, unless LINE is empty, printed a whole line matching the extended
# regular expression LINE.
status=$1 line=$2
shift 2
out=$("$@")
got=$?
printf '%s\n' "$out"
[ "$got" -eq "$status" ] || { echo "exit status $got, expected $status"; exit 1; }
[ -z "$line" ] || grep -qxE -- "$line" <<<"$out" || { echo "no line is: $line"; exit 1; }
