#!/usr/bin/env bash
# The bash completion, sourced and called as bash calls it, completes options, the formats of
# the output plug-ins, plug-in names and file names, and each long option of --help from its
# first letters; the zsh completion is valid zsh (option_names_test.sh compares their options).
#   completion_test.sh COMPLETION_DIR PROGRAM   (run in the source tree; zsh -n if zsh is present)
set -u
folder=$1 program=$2
source "$(dirname "$0")/help_options.sh"
source "$folder/faltrix-convert.bash"

# completes "word word ... current": COMPREPLY, one a line, for the last word.
completes() {
    COMP_WORDS=("$program" "$@")
    COMP_CWORD=$(($# ))
    COMPREPLY=()
    _faltrix_convert
    printf '%s\n' "${COMPREPLY[@]}"
}
status=0
# expect "<what it must contain>" word ...
expect() {
    local wanted=$1 got
    shift
    got=$(completes "$@")
    grep -qxF -- "$wanted" <<<"$got" || { echo "'$*' does not offer '$wanted': ${got//$'\n'/ }"; status=1; }
}
[ "$(completes --qui)" = --quiet ] || { echo "'--qui' gives '$(completes --qui)', not --quiet"; status=1; }
expect png -f ""
expect jpg -f ""
expect webp --format = w
expect --format=tiff --format=ti
expect jpeg --input-plugin ""
expect gif -o out.gif --output-plugin g
expect samples/chart.jpg samples/chart.j
expect samples/chart.png -o out --files-from samples/chart.p
[ -z "$(completes -W "")" ] || { echo "-W offers values"; status=1; }
for option in $(help_options "$program"); do
    [[ $option == --* ]] && expect "$option" "${option:0:3}"
done
if command -v zsh >/dev/null; then zsh -n "$folder/_faltrix-convert" || status=1; fi
exit $status
