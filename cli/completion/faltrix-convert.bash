# Completion of faltrix-convert's command line for bash: options, file names, and the values
# of the options that name a format or a plug-in. Those are asked of the program being
# completed (`--list-plugins`), so plug-ins added later, or found through FALTRIX_PLUGIN_DIR,
# are offered too. Needs nothing of the bash-completion package.

# Prints, for the plug-ins of one kind (Input or Output) that `program --list-plugins` lists,
# their names ("names") or each extension of their "*.ext" patterns ("extensions"), once each.
_faltrix_convert_listing() {
    local program=$1 kind=$2 what=$3
    "$program" --list-plugins 2>/dev/null | awk -v kind="$kind" -v what="$what" '
        /^[A-Z][a-z]* plug-ins in / { inside = ($1 == kind); next }
        !inside { next }
        what == "names" && /^  [^ ]/ && !/^  \(none\)$/ && !/^  refused .*: / && !seen[$1]++ { print $1 }
        what == "extensions" && /^      \*\./ {
            n = split($1, patterns, ";")
            for (i = 1; i <= n; i++)
                if (sub(/^\*\./, "", patterns[i]) && patterns[i] !~ /[*?\[]/ && !seen[patterns[i]]++) print patterns[i]
        }'
}

_faltrix_convert() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    # "--format=pn" arrives as "--format" "=" "pn" where '=' breaks words, else as one word.
    local prefix=
    if [[ $cur == = ]]; then
        cur=
    elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then
        prev=${COMP_WORDS[COMP_CWORD - 2]}
    elif [[ $cur == --*=* ]]; then
        prev=${cur%%=*} prefix=${cur%%=*}= cur=${cur#*=}
    fi
    local program=${COMP_WORDS[0]/#\~/$HOME}  # as typed: "~/bin/faltrix-convert" is not expanded yet
    local words=
    case $prev in
        -f | --format) words=$(_faltrix_convert_listing "$program" Output extensions) ;;
        --input-plugin) words=$(_faltrix_convert_listing "$program" Input names) ;;
        --output-plugin) words=$(_faltrix_convert_listing "$program" Output names) ;;
        --compression) words='none lzw deflate packbits 0 1 2 3 4 5 6 7 8 9' ;;
        --filter) words='lanczos3 bicubic triangle box area nearest' ;;
        --strip-only) words='exif xmp icc exif,xmp exif,icc xmp,icc' ;;
        -W | --width | -H | --height | --fit | -j | --jobs | --timeout | --quality | --option)
            COMPREPLY=()
            return
            ;;
        -o | --output | --files-from | --report)
            compopt -o filenames 2>/dev/null
            mapfile -t COMPREPLY < <(compgen -P "$prefix" -f -- "$cur")
            return
            ;;
        *)
            if [[ $cur == -* ]]; then
                words='-o --output -f --format -W --width -H --height --fit --filter -a --anti-alias
                       --input-plugin --output-plugin --overwrite --force --lenient --quality --lossless
                       --compression --option --strip --strip-only -v --verbose
                       -q --quiet --list-plugins -j --jobs --timeout -r --recursive
                       --skip-existing --files-from -0 --null --report -h --help --version'
            else
                compopt -o filenames 2>/dev/null
                mapfile -t COMPREPLY < <(compgen -f -- "$cur")
                return
            fi
            ;;
    esac
    mapfile -t COMPREPLY < <(compgen -P "$prefix" -W "$words" -- "$cur")
}

complete -F _faltrix_convert faltrix-convert
