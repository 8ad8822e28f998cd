#!/usr/bin/env bash
# The manual page: renders without warnings, carries the project's version,
# and documents every option of the usage text.
#   man_check.sh <vorlix.1> <vorlix binary> <emulator or ""> <version>
set -euo pipefail
page=$1 program=$2 emulator=$3 version=$4
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

[[ -f $page ]] || { echo "FAIL: no manual page at $page"; exit 1; }

# Rendered text where groff exists, else the source with its escapes undone.
if command -v groff >/dev/null; then
    warnings=$(groff -man -ww -z "$page" 2>&1) || fail "groff failed"
    [[ -z $warnings ]] || fail "groff warns: $warnings"
    text=$(groff -man -Tascii -P-cbou "$page" 2>/dev/null)
else
    echo "groff not installed: rendering not checked"
    text=$(sed -e 's/\\-/-/g' -e 's/\\f[BIRP]//g' "$page")
fi

grep -q "^\.TH VORLIX 1 .*\"vorlix $version\"" "$page" ||
    fail "the .TH line does not name version $version"

# The options: those the usage text must have, and whatever the program's own
# usage text lists besides (it exits with status 1 after printing it).
options=(-d -V -t -w -o -l -r -s -z -h '-?'
         --debug --version --time --wait --output --logfile --retry
         --samp_rate --sensitvity --help)
# shellcheck disable=SC2086
usage=$($emulator "$program" -h 2>&1 >/dev/null || true)
[[ $usage == *usage:* ]] || fail "no usage text from $program -h"
while read -r opt; do
    options+=("$opt")
done < <(grep -oE '(^|[[:space:][])--?[[:alpha:]?][[:alnum:]_]*' <<<"$usage" |
         grep -oE -- '--?[[:alpha:]?][[:alnum:]_]*' | sort -u)

declare -A seen=()
for opt in "${options[@]}"; do
    [[ -n ${seen[$opt]:-} ]] && continue
    seen[$opt]=1
    re=$(sed 's/[?]/\\?/g' <<<"$opt")
    grep -qE -- "(^|[^-[:alnum:]])${re}([^[:alnum:]_]|\$)" <<<"$text" ||
        fail "option $opt is not in the manual page"
done

# The sections a user looks for.
for section in NAME SYNOPSIS DESCRIPTION OPTIONS "CAPTURE FORMATS" DESTINATION \
               STATISTICS "EXIT STATUS" EXAMPLES "COMPANION TOOLS"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || fail "no section $section"
done

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "manual page ok (${#seen[@]} options checked)"
