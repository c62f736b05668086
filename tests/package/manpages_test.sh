#!/usr/bin/env bash
# The manual pages against the programs they describe: every option the help lists has an entry in the
# page and every entry is an option the help lists, the codec names match and stand for the codes the page
# gives them, the version is the programs', and groff renders both pages without a warning.
set -u

: "${QPARLIN:?QPARLIN must name the built qparlin}"
: "${QPARLIN_CODEC:?QPARLIN_CODEC must name the built qparlin-codec}"
: "${QPARLIN_SOURCE_DIR:?QPARLIN_SOURCE_DIR must name the source directory}"
command -v groff >/dev/null || { echo "groff is missing (scripts/install-deps --test)"; exit 1; }

. "$QPARLIN_SOURCE_DIR/tests/system/common.sh"
man_dir=$QPARLIN_SOURCE_DIR/docs/man

# A page as plain text, one line per paragraph so that nothing is cut by wrapping.
render() { groff -man -Tascii -P-cbou -rLL=400n "$1" 2>/dev/null; }
# The lines of one section of a rendered page (headings are flush left and in capitals).
section() { awk -v want="$2" '/^[A-Z][A-Z ]*$/ { on = ($0 == want); next } on' "$1"; }
# The entries of a rendered OPTIONS section: the first word of each tag line (indented 7, not 14).
option_entries() { section "$1" OPTIONS | awk '/^       -/ { print $1 }' | sort -u; }
# Compares two sorted lists and names what is only on either side.
same_list() {  # same_list WHAT LEFT-NAME LEFT-FILE RIGHT-NAME RIGHT-FILE
    local only
    only=$(comm -23 "$3" "$5" | tr '\n' ' ')
    [ -z "$only" ] || fail "$1 in $2 but not in $4: $only"
    only=$(comm -13 "$3" "$5" | tr '\n' ' ')
    [ -z "$only" ] || fail "$1 in $4 but not in $2: $only"
    [ -s "$3" ] || fail "$1: none found in $2"
}

for page in qparlin.1 qparlin-codec.1; do
    for device in ascii utf8; do
        warnings=$(groff -man -T"$device" -ww -z "$man_dir/$page" 2>&1)
        [ -z "$warnings" ] || fail "$page ($device): groff warns: $warnings"
    done
    render "$man_dir/$page" >"$work/$page.txt"
    for heading in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES; do
        grep -qx "$heading" "$work/$page.txt" || fail "$page has no $heading section"
    done
done

# qparlin: the classic options as the help's list at the top writes them, then the long ones.
"$QPARLIN" --help >"$work/help.out" 2>/dev/null </dev/null || fail "qparlin --help failed"
{ awk '/^ -[a-zA-Z]:/ { print $1 }' "$work/help.out"; awk '/^  --/ { print $1 }' "$work/help.out"; } |
    sort -u >"$work/help.options"
option_entries "$work/qparlin.1.txt" >"$work/page.options"
same_list "qparlin options" "--help" "$work/help.options" "qparlin(1)" "$work/page.options"

section "$work/qparlin.1.txt" "EXIT STATUS" | awk '/^       [0-9]/ { print $1 }' >"$work/statuses"
[ "$(tr '\n' ' ' <"$work/statuses")" = "0 1 2 " ] || fail "qparlin(1) lists exit statuses $(tr '\n' ' ' <"$work/statuses")"
grep -q "contacts.txt" <(section "$work/qparlin.1.txt" FILES) || fail "qparlin(1) FILES does not name contacts.txt"

# The codec names: the same in both, and each name the same format as the code the page gives it, which
# the codec tool shows by coding one file both ways into the same bytes.
grep -P '^[a-z0-9]+_[0-9]+khz\t' "$work/help.out" | cut -f1 | sort -u >"$work/help.codecs"
section "$work/qparlin.1.txt" "FORMAT CODES" |
    awk '/^       [a-z0-9]+_[0-9]+khz$/ { name = $1; next }
         name != "" && NF > 0 { code = $1; sub(/,$/, "", code); print name, code; name = "" }' |
    sort -u >"$work/page.codes"
cut -d' ' -f1 "$work/page.codes" >"$work/page.codecs"
same_list "codec names" "--help" "$work/help.codecs" "qparlin(1)" "$work/page.codecs"
head -c 4800 /dev/urandom >"$work/noise.raw"
while read -r name code; do
    [[ "$code" =~ ^0x[0-9A-F]{2}$ ]] || { fail "qparlin(1) gives $name the code '$code'"; continue; }
    "$QPARLIN_CODEC" encode -a:"$name" "$work/noise.raw" "$work/by-name" 2>/dev/null || fail "encode -a:$name failed"
    "$QPARLIN_CODEC" encode -a:"$code" "$work/noise.raw" "$work/by-code" 2>/dev/null || fail "encode -a:$code failed"
    cmp -s "$work/by-name" "$work/by-code" || fail "qparlin(1) says $name is $code, but they code differently"
done <"$work/page.codes"

# qparlin-codec: the options its usage text shows, against its page.
"$QPARLIN_CODEC" --help >"$work/usage.out" 2>/dev/null </dev/null || fail "qparlin-codec --help failed"
grep -oE -- '(^|[][ ])(--[a-z-]+(=[A-Z]+)?|-[a-z]:[A-Z]+)' "$work/usage.out" | tr -d '[] ' | sort -u >"$work/usage.options"
option_entries "$work/qparlin-codec.1.txt" >"$work/codec-page.options"
same_list "qparlin-codec options" "its usage" "$work/usage.options" "qparlin-codec(1)" "$work/codec-page.options"

section "$work/qparlin-codec.1.txt" "EXIT STATUS" | awk '/^       [0-9]/ { print $1 }' >"$work/statuses"
[ "$(tr '\n' ' ' <"$work/statuses")" = "0 1 2 " ] || fail "qparlin-codec(1) lists exit statuses $(tr '\n' ' ' <"$work/statuses")"

# Both pages carry the version the programs report.
version=$("$QPARLIN" --version 2>/dev/null | awk '{ print $2 }')
[ -n "$version" ] || fail "qparlin --version printed no version"
for page in qparlin.1 qparlin-codec.1; do
    th_version=$(awk '/^\.TH / { print $0 }' "$man_dir/$page" | grep -oE '"Q-Parlin [^"]*"' | tr -d '"' | awk '{ print $2 }')
    [ "$th_version" = "$version" ] || fail "$page says version '$th_version', the program $version"
done

finish "the manual pages match the programs' help"
