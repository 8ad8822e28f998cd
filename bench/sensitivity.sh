#!/bin/sh
# Sensitivity and timing of the demodulator on synthesized captures, both
# modes: for each case the synthesizer writes a time-stamped capture and its
# ground truth, the service decodes it with and without -c (--classic), and
# vorlix-demod-score counts the extended squitters found once, missed, false
# (sent but never synthesized) and duplicated, and the time of arrival
# (toa - leading edge, mean and standard deviation) of the strong frames.
#
#   bench/sensitivity.sh [BUILD_DIR]        (default: build)
#
# Environment: SECONDS_OF_CAPTURE (default 20), SEED (default 1), CASES (a
# subset of the names below, default all), KEEP_DIR (keep the captures).
#
# Cases: random DF17 from 50 aircraft, 100 a second, at one SNR with noise
# sigma 3 (amplitude = 10^(SNR/20) * sigma * sqrt 2, the synthesizer's SNR);
# "off" adds a carrier offset of 180 kHz; "traffic" is 60 aircraft, 200 DF17
# and 400 DF4/5/11/20/21 a second, overlapping, SNR 8..22 dB, sigma 6;
# "toa" is 28 dB, where only the timing matters.
set -eu

build=${1:-build}
duration=${SECONDS_OF_CAPTURE:-20}
seed=${SEED:-1}
all="2400k-10 2400k-12 2400k-14 2400k-14-off 2400k-16 2400k-20 2400k-traffic
2000k-12 2000k-14 2000k-16 2000k-20 2000k-traffic 3200k-14 3200k-traffic
2000k-toa 2400k-toa 3200k-toa"
cases=${CASES:-$all}

. "$(dirname "$0")/common.sh"
bench_need "$build" vorlix vorlix-capture-synth vorlix-demod-score
bench_dir
trap bench_dir_cleanup EXIT INT TERM

amp() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.3f", 10 ^ (s / 20) * n * sqrt(2) }'; }

printf '%-16s %-8s %s\n' case mode score
for c in $cases; do
    rate=${c%%k-*}000
    what=${c#*k-}
    case $what in
    traffic) args="-n 6 -c 60 -a 200 -m 400 --overlap -A $(amp 8 6):$(amp 22 6)" ;;
    toa) a=$(amp 28 3); args="-n 3 -c 50 -a 100 -A $a:$a" ;;
    *-off) a=$(amp "${what%-off}" 3); args="-n 3 -c 50 -a 100 -A $a:$a -f 180000" ;;
    *) a=$(amp "$what" 3); args="-n 3 -c 50 -a 100 -A $a:$a" ;;
    esac
    cap=$dir/$c-$seed-$duration.bin
    truth=$dir/$c-$seed-$duration.truth
    if [ ! -s "$cap" ]; then
        # shellcheck disable=SC2086
        "$build/vorlix-capture-synth" -o "$cap" -g "$truth" -r "$rate" -d "$duration" \
            -s "$seed" $args 2>/dev/null
    fi
    for mode in classic default; do
        flag=
        [ "$mode" = classic ] && flag=-c
        # shellcheck disable=SC2086
        "$build/vorlix" -w 0 -r 0 -d 0 $flag -s "$rate" "$cap" >"$dir/frames.l2" 2>/dev/null
        printf '%-16s %-8s %s\n' "$c" "$mode" \
            "$("$build/vorlix-demod-score" "$truth" "$dir/frames.l2" --strong 25)"
    done
done
