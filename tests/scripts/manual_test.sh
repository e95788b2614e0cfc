#!/usr/bin/env bash
# The manual page renders without a single groff warning (-ww), through groff and through
# man -l where man is installed; it has the sections a user looks for, names the project's
# version, points to no path of the source tree, and has no period at a line end that is not
# a sentence's end (groff would put a sentence space after it).
set -euo pipefail
page=${1:?manual page}
version=${2:?project version}
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
command -v groff >/dev/null || { echo "groff is not installed" >&2; exit 77; }

warnings=$(groff -ww -man -Tutf8 -z "$page" 2>&1)
[ -z "$warnings" ] || fail "groff -ww: $warnings"
if command -v man >/dev/null; then
    warnings=$(MANWIDTH=80 man --warnings=w -l "$page" 2>&1 >/dev/null)
    [ -z "$warnings" ] || fail "man -l: $warnings"
fi

text=$(MANWIDTH=80 groff -man -Tutf8 -P-cbou "$page" 2>/dev/null)
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" FILES DIAGNOSTICS EXAMPLES \
    "SEE ALSO"; do
    grep -qx "$section" <<<"$text" || fail "no section $section"
done
for words in "/list" "--version" "dialout" "65536" "log in again"; do
    grep -qF -- "$words" <<<"$text" || fail "nothing about $words"
done
grep -q "^\.TH .*\"upgrade $version\"" "$page" || fail ".TH does not name upgrade $version"
sed -n '/^\.SH SEE ALSO/,/^\.SH/p' "$page" | grep -qE '(^|[ (])(docs|src|sim|build)/' &&
    fail "SEE ALSO names a path of the source tree"
# A period at a line end ends a sentence for groff: when the text goes on in lower case on the
# next line, it was no sentence's end ("prints ready. and waits").
awk 'prev ~ /[.?!]$/ && prev !~ /\\&$/ && $0 ~ /^[a-z]/ { print NR - 1 ": " prev; found = 1 }
     { prev = $0 } END { exit found }' "$page" ||
    fail "a period at a line end renders with a sentence space mid-sentence; add \\&"
echo "manual: renders cleanly"
