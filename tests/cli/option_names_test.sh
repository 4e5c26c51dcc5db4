#!/usr/bin/env bash
# --help, the manual page, the bash completion and the zsh completion name exactly the same
# options: each list of names is read from the file as users get it (the page's tags, what
# bash offers for "-", the specs of zsh's _arguments) and compared with --help's.
#   option_names_test.sh PROGRAM PAGE COMPLETION_DIR
set -u
program=$1 page=$2 folder=$3
source "$(dirname "$0")/help_options.sh"

# The names in the tags of the OPTIONS section: the line after each .TP, roff's "\-" and
# font changes taken out.
page_options() {
    awk '/^\.SH/ { inside = ($2 == "OPTIONS") } inside && after { print } { after = inside && /^\.TP/ }' "$1" |
        sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' | grep -oE -- '(^| )--?[[:alnum:]][[:alnum:]-]*' | tr -d ' '
}
# What the bash completion offers for a word "-".
bash_options() {
    (
        source "$1"
        COMP_WORDS=("$program" -) COMP_CWORD=1 COMPREPLY=()
        _faltrix_convert
        printf '%s\n' "${COMPREPLY[@]}"
    )
}
# The names in _arguments' specs: after a quote, '{', ',' or an exclusion list, and before
# their value or help.
zsh_options() {
    grep -oP -- "(?<=[{,')])--?[[:alnum:]][[:alnum:]-]*(?=[]+=,}[])" "$1"
}

want=$(help_options "$program" | sort -u)
[ "$(wc -l <<<"$want")" -gt 20 ] || { echo "--help lists too few options: $want"; exit 1; }
status=0
for source in "page:$page" "bash:$folder/faltrix-convert.bash" "zsh:$folder/_faltrix-convert"; do
    kind=${source%%:*} file=${source#*:}
    got=$("${kind}_options" "$file" | sort -u)
    if [ "$got" != "$want" ]; then
        echo "$file and --help name different options (< --help, > $kind):"
        diff <(echo "$want") <(echo "$got")
        status=1
    fi
done
exit $status
