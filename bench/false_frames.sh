#!/usr/bin/env bash
# Which correction made each false frame: the service counts its
# corrections by size (the "recovered:" line of its statistics report) but
# does not name the frame a correction made. Each false frame the scorer
# found (its verbose lines on standard input) is decoded again from a
# prefix of the same capture: the smallest prefix, in blocks, whose output
# holds the frame, against the prefix one block shorter. The corrections
# counted between the two were made in the block that took the frame; when
# that is a single one (or a single retry, or none), it is the frame's.
#
#   VORLIX_SCORE_VERBOSE=1 vorlix-demod-score TRUTH FRAMES 2>&1 >/dev/null |
#     CAPTURE=FILE bench/false_frames.sh [BUILD_DIR] [SERVICE_FLAG...]
#   ... | SYNTH="ARGS" bench/false_frames.sh [BUILD_DIR] [SERVICE_FLAG...]
#
# CAPTURE is a time-stamped capture on disk; SYNTH instead the synthesizer's
# arguments (without -o and -g) that made a stream, synthesized once more:
# from it only a window before each frame is kept (WARMUP seconds of
# signal, default 75: the correction needs the aircraft heard within the
# last minute, and every other state of the service settles sooner), and
# the prefixes are cut from the windows, each behind the probe block. A
# window decoded so begins cold; the frame sent again shows that it
# decodes as in the whole run. With CAPTURE, WARMUP (unset: from the
# start) windows too. Environment: RATE (default 2400000), START_NS (the
# capture's -t, default 1700000000000000000), VORLIX (the service, default
# BUILD_DIR/vorlix).
#
# One line per false frame:
#   HEX at S.NS s block B: correction none|retry|1-bit|2-bit|3-bit|4-bit
# or "several: retry R 1-bit N ..." when the block counted more than one,
# "not reproduced" when no prefix sent the frame.
set -euo pipefail

build=${1:-build}
shift || true
flags=("$@")
rate=${RATE:-2400000}
start_ns=${START_NS:-1700000000000000000}
service=${VORLIX:-$build/vorlix}

. "$(dirname "$0")/common.sh"
bench_need "$build" vorlix vorlix-capture-synth
if [[ -z ${CAPTURE:-} && -z ${SYNTH:-} ]]; then
    echo "give CAPTURE=FILE or SYNTH=\"synthesizer arguments\"" >&2
    exit 1
fi
bench_dir
trap bench_dir_cleanup EXIT INT TERM

# The false frames: hex, time, block of the time of arrival.
hexes=() times=() blocks=()
while read -r word hex at when _; do
    [[ $word == false: && $at == at ]] || continue
    block=$(awk -v t="$when" -v s="$start_ns" -v r="$rate" 'BEGIN {
        split(t, p, "."); ss = substr(s, 1, length(s) - 9); sn = substr(s, length(s) - 8)
        n = ((p[1] - ss) + ("0." p[2]) - sn / 1e9) * r
        printf "%d", n / 4096 }')
    hexes+=("$hex") times+=("$when") blocks+=("$block")
done
if [[ ${#hexes[@]} -eq 0 ]]; then
    echo "no false frame given"
    exit 0
fi

# Frame i's window: blocks from[i] to blocks[i] + 2 (records of 8208 bytes
# after the 8192-byte probe block); its prefixes end after blocks[i],
# blocks[i] + 1 and blocks[i] + 2 blocks.
warmup=${WARMUP:-}
[[ -z $warmup && -n ${SYNTH:-} ]] && warmup=75
from=()
for b in "${blocks[@]}"; do
    f=0
    [[ -n $warmup ]] && f=$((b - warmup * rate / 4096))
    [[ $f -lt 0 ]] && f=0
    from+=("$f")
done
offset_of() { echo $((8192 + $1 * 8208 + 1)); }  # tail -c +N: from byte N, counting from 1
length_of() { echo $((($2 + 3 - $1) * 8208)); }
# The windows, from the capture or from one more pass of the synthesizer.
if [[ -n ${CAPTURE:-} ]]; then
    head -c 8192 "$CAPTURE" >"$dir/probe"
    for i in "${!blocks[@]}"; do
        tail -c +"$(offset_of "${from[$i]}")" "$CAPTURE" |
            head -c "$(length_of "${from[$i]}" "${blocks[$i]}")" >"$dir/w$i" || true
    done
else
    subs=(">(head -c 8192 >$dir/probe)") longest=0
    for i in "${!blocks[@]}"; do
        subs+=(">(tail -c +$(offset_of "${from[$i]}") | head -c $(length_of "${from[$i]}" "${blocks[$i]}") >$dir/w$i; : >$dir/w$i.done)")
        [[ ${blocks[$i]} -gt $longest ]] && longest=${blocks[$i]}
    done
    # shellcheck disable=SC2086
    eval "\"$build/vorlix-capture-synth\" -o - -r \"$rate\" -t \"$start_ns\" $SYNTH 2>/dev/null |
        head -c $(($(offset_of $((longest + 3))) - 1)) | tee -p ${subs[*]} >/dev/null" || true
    for i in "${!blocks[@]}"; do
        while [[ ! -e $dir/w$i.done ]]; do sleep 1; done
    done
fi
decode() {  # decode I K: frame I's window up to its block + K, into p$I.$K
    { cat "$dir/probe"; head -c $(((${blocks[$1]} + $2 - ${from[$1]}) * 8208)) "$dir/w$1"; } |
        "$service" -w 0 -r 0 -d 1 -t 3600 -s "$rate" "${flags[@]}" - >"$dir/p$1.$2.l2" \
            2>"$dir/p$1.$2.log" || true
}

has() { od -An -v -tx1 "$dir/p$1.l2" | tr -d ' \n' | grep -qi "$2"; }
counts() { awk '/^recovered:/ { r += $3; a += $5; b += $7; c += $9; d += $11 }
    END { print r + 0, a + 0, b + 0, c + 0, d + 0 }' "$dir/p$1.log"; }
for i in "${!hexes[@]}"; do
    hex=${hexes[$i]} b=${blocks[$i]} what="not reproduced"
    for k in 0 1 2; do decode "$i" "$k"; done
    rm -f "$dir/w$i"
    for k in 1 2; do
        has "$i.$k" "$hex" || continue
        if has "$i.$((k - 1))" "$hex"; then what="sent before block $b"; break; fi
        read -r r0 a0 b0 c0 d0 <<<"$(counts "$i.$((k - 1))")"
        read -r r1 a1 b1 c1 d1 <<<"$(counts "$i.$k")"
        dr=$((r1 - r0)) d1b=$((a1 - a0)) d2b=$((b1 - b0)) d3b=$((c1 - c0)) d4b=$((d1 - d0))
        total=$((dr + d1b + d2b + d3b + d4b))
        if [[ $total -eq 0 ]]; then
            what="correction none"
        elif [[ $total -gt 1 ]]; then
            what="several: retry $dr 1-bit $d1b 2-bit $d2b 3-bit $d3b 4-bit $d4b"
        else
            names=(retry 1-bit 2-bit 3-bit 4-bit)
            deltas=("$dr" "$d1b" "$d2b" "$d3b" "$d4b")
            for j in 0 1 2 3 4; do
                [[ ${deltas[$j]} -eq 1 ]] && what="correction ${names[$j]}"
            done
        fi
        break
    done
    echo "$hex at ${times[$i]} s block $b${warmup:+ (from block ${from[$i]})}: $what"
done
