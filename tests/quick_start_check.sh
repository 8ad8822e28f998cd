#!/usr/bin/env bash
# The README's quick start, run as written in a fresh copy of the checked-in
# files (what a clone holds): the command must succeed, its output must be
# what the README says a user will see, and the log must stay off the
# terminal's standard output. The package installation in front of the
# command is skipped when those packages are installed (the test does not
# install anything); without them, or without git, the test is skipped.
#   quick_start_check.sh <source dir>
set -euo pipefail
src=$1
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

command -v git >/dev/null && git -C "$src" rev-parse --is-inside-work-tree >/dev/null 2>&1 ||
    { echo "not a git work tree: no clone to make"; exit 77; }

readme=$src/README.md
cmd=$(awk '/^## Quick start/ {on = 1} on && /^    apt-get update/ {sub(/^    /, ""); print; exit}' "$readme")
[[ -n $cmd ]] || { echo "FAIL: no quick-start command in $readme"; exit 1; }

# The packages the command installs: present, or the test cannot run it.
install_prefix=$(grep -oE '^apt-get update && apt-get install -y --no-install-recommends [a-z0-9+. -]+ && ' <<<"$cmd" || true)
[[ -n $install_prefix ]] || { echo "FAIL: the command does not begin with the package installation"; exit 1; }
read -ra packages <<<"${install_prefix#apt-get update && apt-get install -y --no-install-recommends }"
for p in "${packages[@]}"; do
    [[ $p == "&&" ]] && break
    dpkg -s "$p" >/dev/null 2>&1 || { echo "package $p not installed: quick start not run"; exit 77; }
done
run=${cmd#"$install_prefix"}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
clone=$tmp/vorlix
mkdir "$clone"
# The checked-in files as they are in the work tree (a file that is not
# checked in is missing here, as it would be from a clone).
(cd "$src" && git ls-files -z | tar --null -T - -cf -) | tar -xf - -C "$clone"

start=$SECONDS
if ! (cd "$clone" && bash -c "$run") >"$tmp/out" 2>"$tmp/err"; then
    tail -n 30 "$tmp/err"
    echo "FAIL: the quick-start command failed"
    exit 1
fi
echo "quick start ran in $((SECONDS - start)) s"

truth=$clone/build/demo.truth
log=$clone/build/demo.log
[[ -f $truth && -f $log ]] || { echo "FAIL: no ground truth or no log"; exit 1; }

# The figures the README promises, from the ground truth.
promise=$(grep -oE 'holds [0-9]+ aircraft and [0-9]+ extended squitters' "$readme" | head -n 1 || true)
want_aircraft=$(awk '{print $2}' <<<"$promise")
want_frames=$(awk '{print $5}' <<<"$promise")
want_decoded=$(grep -oE 'decodes about [0-9]+' "$readme" | head -n 1 | awk '{print $3}' || true)
[[ -n $want_aircraft && -n $want_decoded ]] || fail "the README states no figures to expect"
want_decoded=${want_decoded:-0}
flights=$(grep -c '^# flight ' "$truth" || true)
frames=$(grep -cE '^[0-9A-F]{28} ' "$truth" || true)
[[ $flights == "$want_aircraft" ]] || fail "the truth holds $flights aircraft, the README says $want_aircraft"
[[ $frames == "$want_frames" ]] || fail "the truth holds $frames frames, the README says $want_frames"

# One decoded line per frame the service found, most of them; the README's
# "about" within 5 % of the count (the demodulator may find a few more).
decoded=$(grep -cE '^[0-9]{4}/[0-9]{2}/[0-9]{2} [0-9:.]+Z [0-9A-F]{6} DF1[78] ' "$tmp/out" || true)
((decoded * 10 >= frames * 9)) || fail "only $decoded of $frames frames decoded"
((decoded <= frames)) || fail "$decoded frames decoded, more than the $frames synthesized"
((want_decoded * 100 >= decoded * 95 && want_decoded * 100 <= decoded * 105)) ||
    fail "the README says about $want_decoded decoded, the run decoded $decoded"

# The table: every aircraft of the truth with its callsign.
grep -q "^aircraft: $flights, messages: $decoded, " "$tmp/out" ||
    fail "no table title for $flights aircraft and $decoded messages: $(grep '^aircraft:' "$tmp/out")"
grep -q '^addr   callsign  sqk   alt      lat       lon   spd   trk msgs first    last' "$tmp/out" ||
    fail "the table header is not the README's"
while read -r _ _ address callsign _; do
    grep -qE "^$address $callsign " "$tmp/out" || fail "aircraft $address $callsign is not in the table"
done < <(grep '^# flight ' "$truth")

# The log went to its file, nothing of it to the terminal.
grep -q '^msg stats' "$log" || fail "no statistics report in the log"
if grep -qE '^(msg stats|Info - |Warning - )' "$tmp/out"; then fail "log lines among the frames"; fi
# Its reports, the final one included, account for every frame decoded.
tail -n 9 "$log" | grep -q '^msg stats' || fail "the log does not end with a report: $(tail -n 9 "$log")"
reported=$(grep -oE '\[17\] [0-9]+ ok:[0-9]+' "$log" | awk -F'ok:' '{n += $2} END {print n + 0}')
[[ $reported == "$decoded" ]] || fail "the reports count $reported DF17 frames, $decoded were decoded"

# The programs the README sends the user to next are built.
for p in vorlix-capture-synth vorlix-test-proxy vorlix-l2-dump; do
    "$clone/build/$p" --help >/dev/null || fail "$p --help failed"
done

if ((failures)); then
    echo "$failures failure(s)"
    exit 1
fi
echo "quick start ok: $flights aircraft, $decoded of $frames frames"
