#!/usr/bin/env bash
# Soak: hours of synthesized signal streamed through standard input at full
# speed into the service with a TCP destination, while the test proxy closes
# each connection after 20 s and stalls every third one for 5 s. The
# synthesizer streams block by block, so no capture is kept on disk; only
# the proxy's record of the messages (about 100 bytes a frame) is.
#
# Once a second the service's resident memory and open descriptors are
# sampled. At the end the script prints, and checks:
#   - resident memory and descriptors first / max / last: flat. The resident
#     size may grow by the service's static storage, touched as it is first
#     used (the 1 MiB queue fills in the first outage), and 512 kB of code
#     and libraries; over two minutes or more the largest of the second half
#     must lie within 128 kB of the first half's. The descriptors stay
#     within one of each other (a connection may be open or not when
#     sampled);
#   - connections made, and that every one began with a HELLO;
#   - frames strictly increasing in time on every connection;
#   - no torn message (a garbage byte or a bad length at the proxy).
# Exit status 0 when all checks pass, 1 otherwise.
#
#   bench/soak.sh [BUILD_DIR]        (default: build)
#
# Environment: SIGNAL_SECONDS (default 21600, 6 hours), FLIGHTS (default 12),
# CLOSE_EVERY (default 20 s), STALL (default 5 s), STALL_EVERY (default 3),
# KEEP_DIR (keep the logs, samples and the proxy's record there).
set -euo pipefail

build=${1:-build}
signal=${SIGNAL_SECONDS:-21600}
flights=${FLIGHTS:-12}
close_every=${CLOSE_EVERY:-20}
stall=${STALL:-5}
stall_every=${STALL_EVERY:-3}

vorlix=$build/vorlix
synth=$build/vorlix-capture-synth
proxy=$build/vorlix-test-proxy
. "$(dirname "$0")/common.sh"
bench_need "$build" vorlix vorlix-capture-synth vorlix-test-proxy
bench_dir
status=0
fail() {
    echo "FAIL: $*"
    status=1
}

proxy_pid='' service_pid='' sampler_pid=''
cleanup() {
    for p in $sampler_pid $service_pid $proxy_pid; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    bench_dir_cleanup
}
trap cleanup EXIT INT TERM

# Everything ends by itself at the latest when the signal has taken its own
# length in wall time (10 minutes more): full speed is far faster.
limit=$((signal + 600))

# The proxy: as many connections as come, for as long as the soak lasts.
"$proxy" --times -o "$dir/proxy.txt" --port-file "$dir/port" -c 1000000 -t "$limit" \
    --fault-conn 0 --close-every "$close_every" --stall "$stall" --stall-every "$stall_every" \
    --after 1000 &
proxy_pid=$!
for _ in $(seq 100); do [ -s "$dir/port" ] && break; sleep 0.1; done
[ -s "$dir/port" ] || { echo "the proxy did not start" >&2; exit 1; }
port=$(cat "$dir/port")

start=$(date +%s.%N)
# -r 100: the service goes on through the proxy's closes (a report with
# frames brings its count back to 0); the input's end ends the attempt.
"$synth" -o - -d "$signal" --flights "$flights" -n 6 -A 60:120 |
    "$vorlix" -w 0 -r 100 -t 30 -o "127.0.0.1:$port" - 2>"$dir/service.log" &
service_pid=$!

sample() {
    local t=0
    # $! is the pipeline's subshell until it has started the service.
    while [ -d "/proc/$service_pid" ]; do
        case $(readlink "/proc/$service_pid/exe" 2>/dev/null) in */vorlix) break ;; esac
        sleep 0.05
    done
    while [ -d "/proc/$service_pid" ]; do
        rss=$(awk '/^VmRSS:/ {print $2}' "/proc/$service_pid/status" 2>/dev/null) || break
        fds=$(ls "/proc/$service_pid/fd" 2>/dev/null | wc -l)
        [ -n "$rss" ] && echo "$t $rss $fds"
        t=$((t + 1))
        sleep 1
    done
}
sample >"$dir/samples.txt" &
sampler_pid=$!

# The input has ended and what was queued has gone out when the attempt's
# close path is logged.
waited=0
while ! grep -q '^Info - Close in_fd and ctx.out_fd' "$dir/service.log" 2>/dev/null; do
    if ! kill -0 "$service_pid" 2>/dev/null; then break; fi
    if [ "$waited" -ge "$limit" ]; then
        fail "the input did not end within $limit s"
        break
    fi
    sleep 1
    waited=$((waited + 1))
done
end=$(date +%s.%N)
kill "$service_pid" 2>/dev/null || true
wait "$service_pid" 2>/dev/null || true
service_pid=''
sleep 1
kill "$proxy_pid" 2>/dev/null || true
wait "$proxy_pid" 2>/dev/null || true
proxy_pid=''
wait "$sampler_pid" 2>/dev/null || true
sampler_pid=''

wall=$(awk -v a="$start" -v b="$end" 'BEGIN {printf "%.0f", b - a}')
awk -v s="$signal" -v w="$wall" 'BEGIN {
    printf "signal: %d s (%.2f h) in %d s of wall time (%.0f times real time)\n",
        s, s / 3600, w, (w > 0 ? s / w : 0) }'

# Memory and descriptors: first / max / last, and the halves compared.
read -r n rss_first rss_max rss_last fd_first fd_min fd_max fd_last half1 half2 < <(awk '
    { t[NR] = $1; r[NR] = $2; f[NR] = $3 }
    END {
        if (NR == 0) { print 0, 0, 0, 0, 0, 0, 0, 0, 0, 0; exit }
        rmax = 0; fmin = f[1]; fmax = 0; h1 = 0; h2 = 0
        for (i = 1; i <= NR; i++) {
            if (r[i] > rmax) rmax = r[i]
            if (f[i] < fmin) fmin = f[i]
            if (f[i] > fmax) fmax = f[i]
            if (i <= NR / 2) { if (r[i] > h1) h1 = r[i] } else if (r[i] > h2) h2 = r[i]
        }
        print NR, r[1], rmax, r[NR], f[1], fmin, fmax, f[NR], h1, h2
    }' "$dir/samples.txt")
echo "samples: $n (one a second)"
echo "resident memory (kB): first $rss_first, max $rss_max, last $rss_last" \
     "(largest in the first half $half1, in the second half $half2)"
echo "open descriptors: first $fd_first, max $fd_max, last $fd_last (min $fd_min)"
[ "$n" -ge 2 ] || fail "fewer than two samples"
static_kb=$(size "$vorlix" | awk 'NR == 2 {print int(($2 + $3) / 1024) + 1}')
[ "$rss_max" -le $((rss_first + static_kb + 512)) ] ||
    fail "resident memory grew by more than the static storage ($static_kb kB) and 512 kB"
if [ "$n" -ge 120 ] && [ "$half2" -gt $((half1 + 128)) ]; then
    fail "resident memory grew in the second half"
fi
[ "$fd_max" -le $((fd_min + 1)) ] || fail "open descriptors vary by more than one"

# The proxy's record: per connection the first message, the frames' order.
read -r conns hellos frames disorder torn unfinished < <(awk '
    { sub(/^\[[^]]*\] /, "") }
    $1 != "conn" { next }
    / open$/ { conns++ }
    /^conn [0-9]+: garbage byte / || /^conn [0-9]+: bad length / { torn++ }
    /^conn [0-9]+: [0-9]+ bytes of an unfinished message/ { unfinished++ }
    /^conn [0-9]+: [0-9][0-9][0-9][0-9]\/[0-9][0-9]\/[0-9][0-9] / {
        c = $2; sub(":", "", c); when = $3 " " $4; op = $6
        if (!(c in first)) { first[c] = op; if (op == "L2_OP_HELLO") hellos++ }
        if (op == "L2_OP_FRAME_DF17" || op == "L2_OP_FRAME_REST") {
            frames++
            if ((c in last) && !(when > last[c])) disorder++
            last[c] = when
        }
    }
    END { print conns + 0, hellos + 0, frames + 0, disorder + 0, torn + 0, unfinished + 0 }
' "$dir/proxy.txt")
dropped=$({ grep -o 'queue full, [0-9]* frames' "$dir/service.log" || true; } |
    awk '{s += $3} END {print s + 0}')
outages=$(grep -c '^Info - Close ctx.out_fd, input kept open' "$dir/service.log" || true)
echo "connections: $conns, beginning with a HELLO: $hellos; outages seen by the service: $outages"
echo "frames received: $frames, not later than the one before on their connection: $disorder"
echo "torn messages: $torn; messages cut off by the proxy's own close: $unfinished"
echo "frames the service dropped with its queue full (while the proxy was away or stalled): $dropped"
[ "$conns" -ge 1 ] || fail "no connection"
[ "$hellos" -eq "$conns" ] || fail "$((conns - hellos)) connections did not begin with a HELLO"
[ "$frames" -gt 0 ] || fail "no frames"
[ "$disorder" -eq 0 ] || fail "frames out of order"
[ "$torn" -eq 0 ] || fail "torn messages"
if grep -q '^Fatal' "$dir/service.log"; then fail "the service logged a fatal error"; fi
if [ -n "${KEEP_DIR:-}" ]; then echo "logs, samples and the proxy's record in $dir"; fi
if [ "$status" -eq 0 ]; then echo "soak passed"; fi
exit "$status"
