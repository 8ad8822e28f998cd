#!/usr/bin/env bash
# A manual page: renders without warnings, carries the project's version,
# and documents every option of the program's usage text. The service's
# page also has the options the usage text must have and the sections a
# user of the service looks for; a companion program's page ("tool") the
# options of its --help and the usual sections.
#   man_check.sh <page> <binary> <emulator or ""> <version> [tool]
set -euo pipefail
page=$1 program=$2 emulator=$3 version=$4 kind=${5:-service}
name=$(basename "$page" .1)
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

grep -q "^\.TH ${name^^} 1 .*\"vorlix $version\"" "$page" ||
    fail "the .TH line does not name ${name^^} and version $version"

if [[ $kind == tool ]]; then
    # Everything the program's --help lists (on standard output, status 0).
    options=(-h --help)
    # shellcheck disable=SC2086
    usage=$($emulator "$program" --help 2>/dev/null) || fail "$program --help failed"
    [[ ${usage,,} == *usage:* ]] || fail "no usage text from $program --help"
    option_re='--?[[:alpha:]][[:alnum:]_-]*'
    sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "EXIT STATUS" EXAMPLES "SEE ALSO")
else
    # The options the usage text must have, and whatever the program's own
    # usage text lists besides (it exits with status 1 after printing it).
    options=(-d -V -t -w -o -l -r -s -z -c -h '-?'
             --debug --version --time --wait --output --logfile --retry
             --samp_rate --sensitvity --classic --help
             --net-bo-port --net-ro-port --net-bind-address)
    # shellcheck disable=SC2086
    usage=$($emulator "$program" -h 2>&1 >/dev/null || true)
    [[ $usage == *usage:* ]] || fail "no usage text from $program -h"
    option_re='--?[[:alpha:]?][[:alnum:]_-]*'
    sections=(NAME SYNOPSIS DESCRIPTION OPTIONS "CAPTURE FORMATS" DESTINATION
              STATISTICS "EXIT STATUS" EXAMPLES "COMPANION TOOLS")
fi
while read -r opt; do
    options+=("$opt")
done < <(grep -oE "(^|[[:space:][])$option_re" <<<"$usage" | grep -oE -- "$option_re" | sort -u)

declare -A seen=()
for opt in "${options[@]}"; do
    [[ -n ${seen[$opt]:-} ]] && continue
    seen[$opt]=1
    re=$(sed 's/[?]/\\?/g' <<<"$opt")
    grep -qE -- "(^|[^-[:alnum:]])${re}([^[:alnum:]_]|\$)" <<<"$text" ||
        fail "option $opt is not in the manual page"
done

# The sections a user looks for.
for section in "${sections[@]}"; do
    grep -q "^\.SH \"\?$section\"\?\$" "$page" || fail "no section $section"
done

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "manual page $name ok (${#seen[@]} options checked)"
