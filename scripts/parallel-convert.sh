#!/usr/bin/env bash
# Converts the files named on standard input (one a line) on several machines with GNU
# parallel and writes the merged --report lines on standard output. parallel cuts the list
# into chunks of CHUNK names and runs one `faltrix-convert --files-from - --report -` per
# chunk on the next free host, its chunk on standard input; the report lines of each chunk
# come back whole. The hosts must see the inputs and the output folder under the same paths
# (a shared file system) and have faltrix-convert on their PATH. docs/scaling.md explains the
# recipe; CI does not run this.
#
#   scripts/parallel-convert.sh [-S HOSTS] [-n CHUNK] [-j JOBS] -- OPTIONS... < list > report.jsonl
#
# HOSTS is parallel's --sshlogin list ("host1,host2"; ":" is this machine without ssh, the
# default). JOBS is how many chunks one host converts at once (default 1: faltrix-convert
# already converts on all of the host's processors). OPTIONS go to every faltrix-convert and
# name the output, e.g. -f png -o /shared/out. The exit status is 0 when every chunk converted
# every file, else that of parallel (the number of chunks with a failure).
set -euo pipefail
hosts=: chunk=100 jobs=1
while getopts S:n:j: option; do
    case $option in
        S) hosts=$OPTARG ;;
        n) chunk=$OPTARG ;;
        j) jobs=$OPTARG ;;
        *) echo "usage: parallel-convert.sh [-S HOSTS] [-n CHUNK] [-j JOBS] -- FALTRIX-CONVERT-OPTIONS... < list" >&2; exit 2 ;;
    esac
done
shift $((OPTIND - 1))
command -v parallel >/dev/null || { echo "parallel-convert: GNU parallel is not installed" >&2; exit 2; }

# --wd .: every host works in this folder (relative to the home folder when below it), so
# relative names mean the same everywhere. -q passes OPTIONS through ssh word for word.
exec parallel --will-cite --pipe -N "$chunk" -S "$hosts" -j "$jobs" --wd . -q \
    faltrix-convert --files-from - --report - "$@"
