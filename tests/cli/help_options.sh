# Sourced by the tests of the man page and the completions: help_options PROGRAM prints each
# option that PROGRAM --help lists ("-o", "--output", ...), one a line.
help_options() {
    "$1" --help | awk '/^  -/ { for (i = 1; i <= NF; i++) { f = $i; sub(/,$/, "", f); if (f !~ /^-/) break; print f } }'
}
