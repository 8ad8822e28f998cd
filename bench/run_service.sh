#!/bin/sh
# Whole-service throughput: synthesizes 60-second captures into a temporary
# directory, runs the service on each with frames to /dev/null (no -o, no
# start-up delay, one attempt) and prints the CPU seconds of the process
# (user + sys), megasamples per CPU-second and the peak resident memory.
#
#   bench/run_service.sh [BUILD_DIR]        (default: build)
#
# Environment: SECONDS_OF_CAPTURE (default 60), RATE (default 2400000),
# KEEP_DIR (reuse/keep the captures in this directory instead of a temp one),
# CASES (default "traffic quiet flat127"; also "dense", a busy site: 150
# aircraft, 500 DF17 and 2500 other replies a second, overlapping, 8..22 dB,
# the dense case of bench/sensitivity.sh with its seed), RUNS (runs per case, default 10;
# the CPU seconds are their mean, the memory the largest), ARGS (more
# service options, e.g. ARGS=-c for the classic demodulator).
set -eu

build=${1:-build}
vorlix=$build/vorlix
synth=$build/vorlix-capture-synth
duration=${SECONDS_OF_CAPTURE:-60}
rate=${RATE:-2400000}
cases=${CASES:-traffic quiet flat127}
runs=${RUNS:-10}
args=${ARGS:-}

. "$(dirname "$0")/common.sh"
bench_need "$build" vorlix vorlix-capture-synth
if [ ! -x /usr/bin/time ]; then
    echo "needs /usr/bin/time (GNU time)" >&2
    exit 1
fi

bench_dir
trap bench_dir_cleanup EXIT INT TERM

# Time-stamped captures; the synthesizer's noise is Gaussian per component,
# sigma 6 gives a mean |I|+|Q| of about 9.6 like a real receiver's.
make_capture() {
    name=$1
    out=$dir/$name-$rate-$duration.bin
    if [ ! -s "$out" ]; then
        case $name in
        traffic) "$synth" -o "$out" -r "$rate" -d "$duration" -n 6 -a 200 -m 400 -A 8:150 -s 7 ;;
        quiet) "$synth" -o "$out" -r "$rate" -d "$duration" -n 2 -s 7 ;;
        flat127) "$synth" -o "$out" -r "$rate" -d "$duration" -s 7 ;;
        dense) "$synth" -o "$out" -r "$rate" -d "$duration" -n 6 -c 150 -a 500 -m 2500 --overlap \
            -A 21.314:106.823 -s 1 ;;
        *) echo "unknown case $name" >&2; exit 1 ;;
        esac
    fi
    echo "$out"
}

printf '%-8s %10s %10s %12s %10s %9s\n' case samples cpu_s MS_per_cpu_s x_realtime rss_kib
for name in $cases; do
    file=$(make_capture "$name")
    # Samples after the probe block: 4096 pairs per 8208-byte record.
    bytes=$(wc -c <"$file")
    samples=$(( (bytes - 8192) / 8208 * 4096 ))
    # RUNS runs under one time measurement: the CPU seconds are their mean,
    # which the 10 ms resolution of the counts would otherwise swamp.
    /usr/bin/time -f '%U %S %M' -o "$dir/time.txt" sh -c '
        i=0
        while [ "$i" -lt "$1" ]; do
            # shellcheck disable=SC2086
            "$2" -w 0 -r 0 $5 "$3" >/dev/null 2>"$4" || exit 1
            i=$((i + 1))
        done' sh "$runs" "$vorlix" "$file" "$dir/log.txt" "$args"
    read -r user sys rss <"$dir/time.txt"
    user=$(awk -v t="$user" -v n="$runs" 'BEGIN { print t / n }')
    sys=$(awk -v t="$sys" -v n="$runs" 'BEGIN { print t / n }')
    awk -v n="$name" -v s="$samples" -v u="$user" -v y="$sys" -v r="$rss" -v rate="$rate" 'BEGIN {
        cpu = u + y; if (cpu <= 0) cpu = 0.005;
        printf "%-8s %10d %10.4f %12.0f %10.0f %9d\n", n, s, cpu, s / cpu / 1e6, s / rate / cpu, r }'
done
