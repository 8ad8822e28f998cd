#!/usr/bin/env python3
"""The listening outputs measured on the realistic 2.4 MS/s traffic of
bench/sensitivity.sh (60 aircraft, 200 DF17 and 400 DF4/5/11/20/21 replies a
second, overlapping, 8..22 dB, time-stamped), clients on 127.0.0.1 at ports
the script picks.

  bench/outputs.py frames BUILD_DIR [SECONDS]   frames out per format against
      the synthesizer's truth, frames sent that were never in the air, Beast
      and raw against each other and against the level-2 stream, and the
      spread of (Beast time stamp - true time x 12 MHz); both modes.
  bench/outputs.py cpu BUILD_DIR [SECONDS] [RUNS]   CPU of the whole service
      (user + system of the process) with both outputs and 4 clients on each
      against no outputs, runs interleaved, medians.
  bench/outputs.py cpu-live BUILD_DIR [SECONDS] [RUNS]   the same at real
      pace: the capture fed into standard input as the time stamps say.
  bench/outputs.py lag BUILD_DIR [SECONDS]   the capture fed into the
      service's standard input at real pace with 16 clients on each port, one
      of them on each port connected and never reading: the feeder's worst
      lag behind the schedule, and what the clients got.

Working files in $KEEP_DIR (default a temporary directory). Needs Python 3
and the build's vorlix, vorlix-capture-synth and vorlix-l2-dump.
"""
import math
import os
import selectors
import socket
import statistics
import struct
import subprocess
import sys
import tempfile
import time

MASK48 = (1 << 48) - 1
RATE = 2400000


def amp(snr_db, sigma):
    return "%.3f" % (10 ** (snr_db / 20) * sigma * math.sqrt(2))


def synth(build, work, seconds):
    cap = os.path.join(work, "traffic-%d.bin" % seconds)
    truth = os.path.join(work, "traffic-%d.truth" % seconds)
    if not os.path.exists(cap):
        subprocess.run([os.path.join(build, "vorlix-capture-synth"), "-o", cap, "-g", truth,
                        "-r", str(RATE), "-d", str(seconds), "-s", "1", "-n", "6", "-c", "60",
                        "-a", "200", "-m", "400", "--overlap", "-A",
                        amp(8, 6) + ":" + amp(22, 6)], check=True, stderr=subprocess.DEVNULL)
    return cap, truth


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    p = s.getsockname()[1]
    s.close()
    return p


def connect(port, rcvbuf=0):
    for _ in range(2000):
        s = socket.socket()
        if rcvbuf:
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
        try:
            s.connect(("127.0.0.1", port))
            return s
        except OSError:
            s.close()
            time.sleep(0.01)
    raise RuntimeError("cannot connect to port %d" % port)


class Readers:
    """Clients that read everything into memory (or only count it)."""

    def __init__(self, socks, keep=True):
        self.sel = selectors.DefaultSelector()
        self.data = {}
        self.keep = keep
        for s in socks:
            s.setblocking(False)
            self.sel.register(s, selectors.EVENT_READ)
            self.data[s] = bytearray() if keep else 0

    def turn(self, timeout):
        for key, _ in self.sel.select(timeout):
            s = key.fileobj
            try:
                b = s.recv(65536)
            except OSError:
                b = b""
            if not b:
                self.sel.unregister(s)
                continue
            if self.keep:
                self.data[s] += b
            else:
                self.data[s] += len(b)

    def open_count(self):
        return len(self.sel.get_map())


def beast_messages(data):
    """(stamp, signal, frame bytes) of every message; bytes skipped."""
    out, i, n, skipped = [], 0, len(data), 0
    while i < n:
        if data[i] != 0x1A or i + 1 >= n or data[i + 1] not in (0x32, 0x33):
            skipped += 1
            i += 1
            continue
        need = 6 + 1 + (7 if data[i + 1] == 0x32 else 14)
        j, body = i + 2, bytearray()
        while len(body) < need and j < n:
            if data[j] == 0x1A:
                if j + 1 < n and data[j + 1] == 0x1A:
                    j += 1
                else:
                    break
            body.append(data[j])
            j += 1
        if len(body) < need:
            skipped += j - i
            i = j
            continue
        stamp = int.from_bytes(body[0:6], "big")
        out.append((stamp, body[6], bytes(body[7:])))
        i = j
    return out, skipped


def read_truth(path):
    frames = []
    with open(path) as f:
        for line in f:
            if line.startswith("#") or not line.strip():
                continue
            w = line.split()
            frames.append((bytes.fromhex(w[0]), float(w[1])))
    return frames


def ticks_of_ns(ns):
    return (int(ns) * 12 // 1000) & MASK48


def df_of(frame):
    return frame[0] >> 3


def signed48(d):
    d &= MASK48
    return d - (1 << 48) if d >= (1 << 47) else d


def run_frames(build, work, seconds):
    cap, truth_path = synth(build, work, seconds)
    truth = read_truth(truth_path)
    by_bytes = {}
    for f, le in truth:
        by_bytes.setdefault(f, []).append(le)
    tdf = {}
    for f, _ in truth:
        tdf[df_of(f)] = tdf.get(df_of(f), 0) + 1
    print("truth: %d frames, by DF: %s" % (len(truth), " ".join(
        "DF%d %d" % (k, v) for k, v in sorted(tdf.items()))))
    for mode in ("default", "classic"):
        bo, ro = free_port(), free_port()
        l2 = os.path.join(work, "frames-%s.l2" % mode)
        args = [os.path.join(build, "vorlix"), "-w", "1", "-r", "0", "-d", "1",
                "--net-bind-address", "127.0.0.1", "--net-bo-port", str(bo),
                "--net-ro-port", str(ro), cap]
        if mode == "classic":
            args.insert(1, "-c")
        with open(l2, "wb") as out, open(os.path.join(work, "log-%s" % mode), "wb") as err:
            p = subprocess.Popen(args, stdout=out, stderr=err)
            b, r = connect(bo), connect(ro)
            rd = Readers([b, r])
            while rd.open_count():
                rd.turn(0.2)
            p.wait()
        msgs, skipped = beast_messages(rd.data[b])
        raw = rd.data[r].decode().splitlines()
        raw_ok = raw == ["*%s;" % m[2].hex().upper() for m in msgs]
        star = subprocess.run([os.path.join(build, "vorlix-l2-dump"), "--star", l2],
                              capture_output=True, text=True).stdout.split()
        beast_es = ["*%s;" % m[2].hex().upper() for m in msgs if df_of(m[2]) in (17, 18)]
        sent, matched, false_by_df, diffs = {}, {}, {}, []
        used = set()
        for stamp, _, f in msgs:
            d = df_of(f)
            sent[d] = sent.get(d, 0) + 1
            best = None
            for le in by_bytes.get(f, []):
                diff = signed48(stamp - ticks_of_ns(le))
                if abs(diff) < 1200 and (best is None or abs(diff) < abs(best[0])):
                    best = (diff, le)
            if best is None or (f, best[1]) in used:
                false_by_df[d] = false_by_df.get(d, 0) + 1
                continue
            used.add((f, best[1]))
            matched[d] = matched.get(d, 0) + 1
            diffs.append(best[0])
        print("%s: Beast %d messages (%d bytes skipped), raw %d lines, raw == Beast: %s, "
              "Beast DF17/18 == level-2 --star: %s (%d / %d)" % (
                  mode, len(msgs), skipped, len(raw), raw_ok, beast_es == star,
                  len(beast_es), len(star)))
        for d in sorted(set(tdf) | set(sent)):
            t = tdf.get(d, 0)
            m = matched.get(d, 0)
            print("  DF%-2d truth %6d sent %6d of them in the truth %6d (%5.1f %%) not in the "
                  "air %d" % (d, t, sent.get(d, 0), m, 100.0 * m / t if t else 0.0,
                              false_by_df.get(d, 0)))
        diffs.sort()
        if diffs:
            q = lambda x: diffs[min(len(diffs) - 1, int(x * len(diffs)))]
            print("  stamp - leading edge x 12 MHz, ticks (83.3 ns): n %d mean %.2f sd %.2f "
                  "min %d p1 %d p50 %d p99 %d max %d" % (
                      len(diffs), statistics.mean(diffs), statistics.pstdev(diffs), diffs[0],
                      q(0.01), q(0.5), q(0.99), diffs[-1]))
        steps_back = sum(1 for a, c in zip(msgs, msgs[1:]) if signed48(c[0] - a[0]) < 0)
        print("  stamps that step back from the one before: %d" % steps_back)


def cpu_of(args, clients, bo=0, ro=0):
    # PIN=1: the service on the first processor, the clients on the second.
    pin = os.environ.get("PIN") == "1"
    p = subprocess.Popen(args, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                         preexec_fn=(lambda: os.sched_setaffinity(0, {0})) if pin else None)
    if pin:
        os.sched_setaffinity(0, {1})
    socks = []
    if clients:
        socks = [connect(bo) for _ in range(clients)] + [connect(ro) for _ in range(clients)]
    rd = Readers(socks, keep=False)
    while rd.open_count():
        rd.turn(0.2)
    _, status, ru = os.wait4(p.pid, 0)
    return ru.ru_utime + ru.ru_stime, ru.ru_utime, ru.ru_stime


def run_cpu(build, work, seconds, runs):
    cap, _ = synth(build, work, seconds)
    none, four = [], []
    for k in range(runs):
        base = [os.path.join(build, "vorlix"), "-w", "1", "-r", "0", "-d", "0"]
        none.append(cpu_of(base + [cap], 0))
        bo, ro = free_port(), free_port()
        four.append(cpu_of(base + ["--net-bind-address", "127.0.0.1", "--net-bo-port", str(bo),
                                   "--net-ro-port", str(ro), cap], 4, bo, ro))
        print("run %d: none %.3f s (user %.3f system %.3f), both outputs 4 clients each %.3f s "
              "(user %.3f system %.3f)" % ((k,) + none[-1] + four[-1]), flush=True)
    for i, what in ((0, "CPU"), (1, "user"), (2, "system")):
        a = statistics.median(x[i] for x in none)
        b = statistics.median(x[i] for x in four)
        print("median %s: none %.3f s, both outputs with 4 clients %.3f s: %+.1f %%" % (
            what, a, b, 100.0 * (b - a) / a))


def records_of(cap):
    with open(cap, "rb") as f:
        data = f.read()
    # The probe block first (the format's magic, then nothing), then records.
    recs, i = [(None, data[:8192])], 8192
    while i + 16 <= len(data):
        magic, t, n = struct.unpack_from("<IQI", data, i)
        recs.append((t, data[i:i + 16 + n]))
        i += 16 + n
    return recs


def feed_live(build, recs, log, stalled_n, readers_n, outputs=True):
    """Runs the service on standard input, the records at real pace, with
    readers_n reading clients and stalled_n clients that never read on each
    port. Returns (worst lag s, record of it, rusage, reader byte counts)."""
    bo, ro = free_port(), free_port()
    args = [os.path.join(build, "vorlix"), "-w", "0", "-r", "0", "-d", "1"]
    if outputs:
        args += ["--net-bind-address", "127.0.0.1", "--net-bo-port", str(bo),
                 "--net-ro-port", str(ro)]
    with open(log, "wb") as err:
        p = subprocess.Popen(args + ["-"], stdin=subprocess.PIPE, stdout=subprocess.DEVNULL,
                             stderr=err)
    stalled = [connect(port, rcvbuf=4096) for port in (bo, ro) for _ in range(stalled_n)]
    readers = [connect(port) for port in (bo, ro) for _ in range(readers_n)]
    rd = Readers(readers, keep=False)
    fd = p.stdin.fileno()
    t0 = recs[1][0]
    start = time.monotonic()
    worst, worst_at = 0.0, 0
    for k, (t, rec) in enumerate(recs):
        due = start + (t - t0) / 1e9 if t is not None else start
        while True:
            now = time.monotonic()
            if now >= due:
                break
            rd.turn(min(0.005, due - now))
        os.write(fd, rec)
        lag = time.monotonic() - due
        if lag > worst:
            worst, worst_at = lag, k
        if k % 64 == 0:
            rd.turn(0)
    p.stdin.close()
    while rd.open_count():
        rd.turn(0.2)
    _, _, ru = os.wait4(p.pid, 0)
    counts = [rd.data[s] for s in readers]
    for s in stalled + readers:
        s.close()
    return worst, worst_at, ru, counts


def run_lag(build, work, seconds):
    cap, _ = synth(build, work, seconds)
    recs = records_of(cap)
    log = os.path.join(work, "log-lag")
    worst, worst_at, _, counts = feed_live(build, recs, log, 1, 15)
    print("records %d over %.1f s; feeder's worst lag %.1f ms (record %d)" % (
        len(recs) - 1, (recs[-1][0] - recs[1][0]) / 1e9, worst * 1000, worst_at))
    print("bytes per reading client (Beast, raw): %s" % sorted(set(counts)))
    for line in open(log, errors="replace").read().splitlines():
        if "fell" in line and "behind" in line:
            print("log: " + line)


def run_cpu_live(build, work, seconds, runs):
    cap, _ = synth(build, work, seconds)
    recs = records_of(cap)
    for k in range(runs):
        for outputs in (False, True):
            worst, _, ru, counts = feed_live(build, recs, os.path.join(work, "log-cpu-live"), 0,
                                             4 if outputs else 0, outputs)
            print("run %d %s: CPU %.3f s (user %.3f system %.3f), worst lag %.1f ms%s" % (
                k, "both outputs 4 clients each" if outputs else "none",
                ru.ru_utime + ru.ru_stime, ru.ru_utime, ru.ru_stime, worst * 1000,
                ", bytes per client %s" % sorted(set(counts)) if outputs else ""), flush=True)


def main():
    if len(sys.argv) < 3 or sys.argv[1] not in ("frames", "cpu", "cpu-live", "lag"):
        print(__doc__)
        sys.exit(1)
    what, build = sys.argv[1], sys.argv[2]
    seconds = int(sys.argv[3]) if len(sys.argv) > 3 else (20 if what != "lag" else 60)
    work = os.environ.get("KEEP_DIR") or tempfile.mkdtemp()
    os.makedirs(work, exist_ok=True)
    if what == "frames":
        run_frames(build, work, seconds)
    elif what == "cpu":
        run_cpu(build, work, seconds, int(sys.argv[4]) if len(sys.argv) > 4 else 5)
    elif what == "cpu-live":
        run_cpu_live(build, work, seconds, int(sys.argv[4]) if len(sys.argv) > 4 else 2)
    else:
        run_lag(build, work, seconds)


if __name__ == "__main__":
    main()
