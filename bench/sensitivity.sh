#!/bin/sh
# Sensitivity and timing of the demodulator on synthesized captures, both
# modes: for each case the synthesizer writes a time-stamped capture and its
# ground truth, the service decodes it with and without -c (--classic), and
# vorlix-demod-score counts the extended squitters found once, missed, false
# (sent but never synthesized) and duplicated, the time of arrival
# (toa - leading edge, mean and standard deviation) of the strong frames,
# and the false frames by the bits they carry wrong (false_bits, see
# vorlix-demod-score(1)).
#
#   bench/sensitivity.sh [BUILD_DIR]        (default: build)
#
# Environment: SECONDS_OF_CAPTURE (default 20), SEED (default 1), CASES (a
# subset of the names below, default all), KEEP_DIR (keep the captures),
# DENSE_SECONDS (the dense case's signal, default 30; 3600 for an hour),
# ATTRIBUTE (1: name the correction that made each false frame, with
# bench/false_frames.sh, on indented lines under the case), VORLIX (the
# service to measure, default BUILD_DIR/vorlix: another build's service
# with this build's synthesizer and scorer).
#
# Cases: random DF17 from 50 aircraft, 100 a second, at one SNR with noise
# sigma 3 (amplitude = 10^(SNR/20) * sigma * sqrt 2, the synthesizer's SNR);
# "off" adds a carrier offset of 180 kHz; "traffic" is 60 aircraft, 200 DF17
# and 400 DF4/5/11/20/21 a second, overlapping, SNR 8..22 dB, sigma 6;
# "toa" is 28 dB, where only the timing matters; "dcX" offsets the centre of
# I and Q by X LSB (--dc X:X; a dongle's 127.5 is dc0.5); "strong" places
# the replies beyond full scale, amplitudes 300..1000 LSB (uniform in dB),
# which clip at 0 and 255, "strong-off" with a carrier offset of 150 kHz;
# "dense" is a busy site: 150 aircraft, 500 DF17 and 2500 other replies a
# second, overlapping, SNR 8..22 dB, sigma 6, streamed from the synthesizer
# through standard input into the service (its ground truth through a named
# pipe into the scorer), so that an hour of it needs no disk.
set -eu

build=${1:-build}
duration=${SECONDS_OF_CAPTURE:-20}
seed=${SEED:-1}
all="2400k-10 2400k-12 2400k-14 2400k-14-off 2400k-16 2400k-20 2400k-traffic
2000k-12 2000k-14 2000k-16 2000k-20 2000k-traffic 3200k-14 3200k-traffic
2000k-toa 2400k-toa 3200k-toa
2400k-12-dc0 2400k-12-dc0.5 2400k-12-dc2 2400k-12-dc4 2400k-12-dc8
2400k-20-dc0 2400k-20-dc0.5 2400k-20-dc2 2400k-20-dc4 2400k-20-dc8
2400k-strong 2400k-strong-off 2400k-dense"
cases=${CASES:-$all}
dense_seconds=${DENSE_SECONDS:-30}
attribute=${ATTRIBUTE:-}
service=${VORLIX:-$build/vorlix}

. "$(dirname "$0")/common.sh"
bench_need "$build" vorlix vorlix-capture-synth vorlix-demod-score
bench_dir
trap bench_dir_cleanup EXIT INT TERM

amp() { awk -v s="$1" -v n="$2" 'BEGIN { printf "%.3f", 10 ^ (s / 20) * n * sqrt(2) }'; }

printf '%-16s %-8s %s\n' case mode score
for c in $cases; do
    rate=${c%%k-*}000
    what=${c#*k-}
    secs=$duration
    case $what in
    traffic) args="-n 6 -c 60 -a 200 -m 400 --overlap -A $(amp 8 6):$(amp 22 6)" ;;
    dense)
        args="-n 6 -c 150 -a 500 -m 2500 --overlap -A $(amp 8 6):$(amp 22 6)"
        secs=$dense_seconds
        ;;
    strong) args="-n 3 -c 50 -a 100 -A 300:1000" ;;
    strong-off) args="-n 3 -c 50 -a 100 -A 300:1000 -f 150000" ;;
    *-dc*) a=$(amp "${what%-dc*}" 3); args="-n 3 -c 50 -a 100 -A $a:$a --dc ${what#*-dc}" ;;
    toa) a=$(amp 28 3); args="-n 3 -c 50 -a 100 -A $a:$a" ;;
    *-off) a=$(amp "${what%-off}" 3); args="-n 3 -c 50 -a 100 -A $a:$a -f 180000" ;;
    *) a=$(amp "$what" 3); args="-n 3 -c 50 -a 100 -A $a:$a" ;;
    esac
    synth_args="-r $rate -d $secs -s $seed $args"
    if [ "$what" = dense ]; then
        # Streamed: the synthesizer writes the truth into the pipe first
        # (the scorer reads it to its end), then the capture.
        for mode in classic default; do
            flag=
            [ "$mode" = classic ] && flag=-c
            rm -f "$dir/truth.fifo"
            mkfifo "$dir/truth.fifo"
            # shellcheck disable=SC2086
            score=$("$build/vorlix-capture-synth" -o - -g "$dir/truth.fifo" $synth_args 2>/dev/null |
                "$service" -w 0 -r 0 -d 0 $flag -s "$rate" - 2>/dev/null |
                VORLIX_SCORE_VERBOSE=1 "$build/vorlix-demod-score" "$dir/truth.fifo" - \
                    --strong 25 2>"$dir/false.txt")
            printf '%-16s %-8s %s\n' "$c" "$mode" "$score"
            if [ -n "$attribute" ] && grep -q '^false: ' "$dir/false.txt"; then
                # shellcheck disable=SC2086
                SYNTH="-d $secs -s $seed $args" RATE=$rate "$(dirname "$0")/false_frames.sh" \
                    "$build" $flag <"$dir/false.txt" | sed 's/^/    /'
            fi
        done
        continue
    fi
    cap=$dir/$c-$seed-$secs.bin
    truth=$dir/$c-$seed-$secs.truth
    if [ ! -s "$cap" ]; then
        # shellcheck disable=SC2086
        "$build/vorlix-capture-synth" -o "$cap" -g "$truth" $synth_args 2>/dev/null
    fi
    for mode in classic default; do
        flag=
        [ "$mode" = classic ] && flag=-c
        # shellcheck disable=SC2086
        "$service" -w 0 -r 0 -d 0 $flag -s "$rate" "$cap" >"$dir/frames.l2" 2>/dev/null
        printf '%-16s %-8s %s\n' "$c" "$mode" \
            "$(VORLIX_SCORE_VERBOSE=1 "$build/vorlix-demod-score" "$truth" "$dir/frames.l2" \
                --strong 25 2>"$dir/false.txt")"
        if [ -n "$attribute" ] && grep -q '^false: ' "$dir/false.txt"; then
            # shellcheck disable=SC2086
            CAPTURE=$cap RATE=$rate "$(dirname "$0")/false_frames.sh" "$build" $flag \
                <"$dir/false.txt" | sed 's/^/    /'
        fi
    done
done
