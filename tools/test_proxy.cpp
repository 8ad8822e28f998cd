// vorlix-test-proxy: a stand-in for the collecting proxy, for tests and for
// trying a receiver out. Listens on a loopback port (or another address of
// the machine, in a test's own network namespace), accepts the receiver's
// connections one after the other, records every message it receives as a
// text line, sends sync requests, and on request misbehaves in the ways a
// real peer can (garbage, an oversized length byte, unnamed ops, a
// disconnect in the middle of a message, a reader that stops reading for a
// while or for ever, half a request, a proxy that goes away for a while).
//
// One connection is served at a time. A fault that waits for traffic (the
// --after faults) starts once that many messages came on the connection.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "include/level2.h"
#include "include/uniq.h"

namespace {

struct Options {
    int port = 0;
    const char* bind_address = "127.0.0.1";
    const char* port_file = nullptr;
    const char* out = nullptr;
    const char* raw = nullptr;
    int connections = 1;
    int timeout_s = 30;
    int sync_slots = -1;  // -1: no sync requests
    int tag = 0x42;
    int sync_count = 1;
    int sync_interval_ms = 100;
    int garbage = 0;
    bool oversize = false;
    int op = -1;
    bool cut = false;
    bool stop_reading = false;
    int close_after = 0;
    int fault_conn = 1;
    bool times = false;
    int rcvbuf = 0;
    int after = 0;
    double stall_s = -1;      // < 0: no stall; 0: until reset or the next connection
    int stall_every = 1;      // the stall on every K-th fault connection only
    double half_sync_s = -1;  // < 0: none
    double away_s = 0;
    double close_every_s = 0;  // 0: connections are not closed by time
};

void usage(FILE* f) {
    fprintf(f,
            "usage: vorlix-test-proxy [options]\n"
            "Listens on 127.0.0.1 (or --bind), accepts level-2 connections one after the\n"
            "other and writes one line per event and per message received.\n"
            "  -p, --port N          port to listen on, 0..65535 (default 0: any free port)\n"
            "  -b, --bind ADDR       IPv4 address to listen on (default 127.0.0.1)\n"
            "      --port-file PATH  write the port number into PATH once listening\n"
            "  -o, --out PATH        write the lines to PATH (default: standard output)\n"
            "      --raw PATH        append every byte received to PATH\n"
            "  -c, --connections N   accept N connections, then exit (default 1)\n"
            "  -t, --timeout S       exit after S seconds in any case (default 30)\n"
            "      --sync N          on connecting, send a sync request with N slots (0..255)\n"
            "      --tag T           the sync request's tag (default 66)\n"
            "      --sync-count K    sync requests per connection (default 1)\n"
            "      --sync-interval MS  pause between sync requests (default 100)\n"
            "Faults, sent once on connecting (on connection --fault-conn only):\n"
            "      --garbage N       N bytes 'x'\n"
            "      --oversize        a header with length byte 160\n"
            "      --op OP           a message with op OP and a 3-byte body\n"
            "      --cut             the first 10 bytes of a message, then disconnect\n"
            "      --stop-reading    never read: keep the connection open until the timeout\n"
            "      --close-after N   disconnect after N messages received\n"
            "      --close-every S   disconnect S seconds after connecting\n"
            "      --fault-conn K    the connection (1, 2, ...) the faults apply to; 0: all\n"
            "Faults after --after N messages on the fault connection (default 0):\n"
            "      --stall S         stop reading for S seconds (0: until the receiver resets\n"
            "                        the connection or connects anew)\n"
            "      --stall-every K   the stall only on connections K, 2K, 3K, ...\n"
            "      --half-sync S     send the first 10 bytes of a sync request, the rest S\n"
            "                        seconds later\n"
            "      --away S          with --close-after: stop listening for S seconds after\n"
            "                        closing\n"
            "Output:\n"
            "      --times           begin every line with the seconds since the start\n"
            "      --rcvbuf N        small receive buffer (and segments) for the connections,\n"
            "                        so that a stall shows at the sender soon\n"
            "  -h, --help            this text\n");
}

FILE* out_file = stdout;
bool line_times = false;
long long start_ms = 0;
TimeStamp last_time = 0;  // time of the newest message received; sync slots carry it
FILE* raw_file = nullptr;

long long now_ms();

void stamp() {
    if (line_times) fprintf(out_file, "[%9.3f] ", (now_ms() - start_ms) / 1000.0);
}

void emit(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
void emit(const char* fmt, ...) {
    stamp();
    va_list ap;
    va_start(ap, fmt);
    vfprintf(out_file, fmt, ap);
    va_end(ap);
    fflush(out_file);
}

void time_us_text(char* buf, size_t size, TimeStamp t) {
    time_t sec = static_cast<time_t>(ts_seconds(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    unsigned long long us = (static_cast<unsigned long long>(ts_fraction(t)) * 1000000ULL) >> 32;
    snprintf(buf, size, "%04d/%02d/%02d %02d:%02d:%02d.%06lluZ", tm_utc.tm_year + 1900,
             tm_utc.tm_mon + 1, tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec, us);
}

void emit_message(int conn, const L2Message& m) {
    char when[64];
    char id[64];
    time_us_text(when, sizeof(when), m.time);
    const char* name = l2_op_name(m.op);
    char opname[16];
    if (!name) {
        snprintf(opname, sizeof(opname), "op%d", m.op);
        name = opname;
    }
    stamp();
    fprintf(out_file, "conn %d: %s %s %s", conn, when, uniq2str(&m.uniq, id, sizeof(id)), name);
    if ((m.op == L2_OP_SYNC_REQ || m.op == L2_OP_SYNC_RSP) && m.length == kSyncBodyBytes) {
        SyncBody b = sync_body_get(m.body);
        fprintf(out_file, " tag=%u n_slots=%u", b.tag, b.n_slots);
        int used = b.n_slots < kSyncSlots ? b.n_slots : kSyncSlots;
        for (int i = 0; i < used; i++) {
            time_us_text(when, sizeof(when), b.slots[i].time);
            fprintf(out_file, " [%s %s]", uniq2str(&b.slots[i].uniq, id, sizeof(id)), when);
        }
    } else {
        if (m.length > 0) fputc(' ', out_file);
        for (int i = 0; i < m.length; i++) fprintf(out_file, "%02x", m.body[i]);
    }
    fputc('\n', out_file);
    fflush(out_file);
}

TimeStamp now_ts() {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (static_cast<uint64_t>(ts.tv_sec) << 32) +
           ((static_cast<uint64_t>(ts.tv_nsec) << 32) / 1000000000ULL);
}

long long now_ms() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool send_bytes(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t w = send(fd, p, n, MSG_NOSIGNAL);
        if (w <= 0) return false;
        p += w;
        n -= static_cast<size_t>(w);
    }
    return true;
}

const UniqId kProxyId = uniq_make(0x00000001, uniq_type_make(1, 6, 5, 0));  // proxy, fix

size_t make_sync(uint8_t* out, int n_slots, int tag, TimeStamp slot_time) {
    SyncBody body{};
    body.tag = static_cast<uint8_t>(tag);
    body.n_slots = static_cast<uint8_t>(n_slots < kSyncSlots ? n_slots : kSyncSlots);
    for (int i = 0; i < body.n_slots; i++) {
        body.slots[i].uniq = uniq_make(0x1000U + static_cast<uint32_t>(i), 0x0405);
        body.slots[i].time = slot_time;
    }
    l2_put_header(out, now_ts(), kProxyId, L2_OP_SYNC_REQ, kSyncBodyBytes);
    sync_body_put(out + kL2HeaderBytes, body);
    out[kL2HeaderBytes + 1] = static_cast<uint8_t>(n_slots);  // also out-of-range counts
    return kSyncMessageBytes;
}

/// Parses the received bytes into messages; returns the bytes consumed.
size_t parse_messages(int conn, const uint8_t* data, size_t have, int* received) {
    size_t pos = 0;
    while (have - pos >= 4) {
        if (memcmp(data + pos, kL2Magic, 4) != 0) {
            emit("conn %d: garbage byte 0x%02x\n", conn, data[pos]);
            pos++;
            continue;
        }
        if (have - pos < static_cast<size_t>(kL2HeaderBytes)) break;
        L2Message m{};
        l2_get_header(data + pos, &m);
        if (m.length > kL2MaxBody) {
            emit("conn %d: bad length %d\n", conn, m.length);
            pos += 4;
            continue;
        }
        if (have - pos < static_cast<size_t>(kL2HeaderBytes + m.length)) break;
        memcpy(m.body, data + pos + kL2HeaderBytes, m.length);
        emit_message(conn, m);
        last_time = m.time;
        (*received)++;
        pos += static_cast<size_t>(kL2HeaderBytes + m.length);
    }
    return pos;
}

double seconds_arg(int argc, char** argv, int* i) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "vorlix-test-proxy: %s needs a value\n", argv[*i]);
        exit(2);
    }
    return atof(argv[++*i]);
}

/// Listens on `address`:`port` (port 0: any); -1 on failure. `rcvbuf` > 0 gives
/// the accepted connections a receive buffer of about that size and small
/// segments, so the sender's buffer fills soon when nothing is read.
int listen_on(in_addr address, int port, int rcvbuf, int* bound) {
    int ls = socket(AF_INET, SOCK_STREAM, 0);
    int one = 1;
    setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    if (rcvbuf > 0) {
        int mss = 536;
        setsockopt(ls, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
        setsockopt(ls, IPPROTO_TCP, TCP_MAXSEG, &mss, sizeof(mss));
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr = address;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    socklen_t alen = sizeof(addr);
    if (bind(ls, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) < 0 || listen(ls, 4) < 0 ||
        getsockname(ls, reinterpret_cast<sockaddr*>(&addr), &alen) < 0) {
        close(ls);
        return -1;
    }
    *bound = ntohs(addr.sin_port);
    return ls;
}

int int_arg(int argc, char** argv, int* i) {
    if (*i + 1 >= argc) {
        fprintf(stderr, "vorlix-test-proxy: %s needs a value\n", argv[*i]);
        exit(2);
    }
    return atoi(argv[++*i]);
}

// The port to listen on: 0..65535, the whole text (htons would take a
// larger number modulo 65536).
int port_arg(int argc, char** argv, int* i) {
    const char* option = argv[*i];
    if (*i + 1 >= argc) {
        fprintf(stderr, "vorlix-test-proxy: %s needs a value\n", option);
        exit(2);
    }
    const char* text = argv[++*i];
    char* end = nullptr;
    errno = 0;
    long v = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || v < 0 || v > 65535) {
        fprintf(stderr, "vorlix-test-proxy: %s needs a port 0..65535 (0: any free port), not %s\n",
                option, text);
        exit(2);
    }
    return static_cast<int>(v);
}

}  // namespace

int main(int argc, char** argv) {
    Options o;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        auto is = [&](const char* s1, const char* s2) {
            return !strcmp(a, s1) || (s2 && !strcmp(a, s2));
        };
        if (is("-h", "--help")) {
            usage(stdout);
            return 0;
        } else if (is("-p", "--port")) {
            o.port = port_arg(argc, argv, &i);
        } else if (is("-b", "--bind") && i + 1 < argc) {
            o.bind_address = argv[++i];
        } else if (is("--port-file", nullptr) && i + 1 < argc) {
            o.port_file = argv[++i];
        } else if (is("-o", "--out") && i + 1 < argc) {
            o.out = argv[++i];
        } else if (is("--raw", nullptr) && i + 1 < argc) {
            o.raw = argv[++i];
        } else if (is("-c", "--connections")) {
            o.connections = int_arg(argc, argv, &i);
        } else if (is("-t", "--timeout")) {
            o.timeout_s = int_arg(argc, argv, &i);
        } else if (is("--sync", nullptr)) {
            o.sync_slots = int_arg(argc, argv, &i);
        } else if (is("--tag", nullptr)) {
            o.tag = int_arg(argc, argv, &i);
        } else if (is("--sync-count", nullptr)) {
            o.sync_count = int_arg(argc, argv, &i);
        } else if (is("--sync-interval", nullptr)) {
            o.sync_interval_ms = int_arg(argc, argv, &i);
        } else if (is("--garbage", nullptr)) {
            o.garbage = int_arg(argc, argv, &i);
        } else if (is("--oversize", nullptr)) {
            o.oversize = true;
        } else if (is("--op", nullptr)) {
            o.op = int_arg(argc, argv, &i);
        } else if (is("--cut", nullptr)) {
            o.cut = true;
        } else if (is("--stop-reading", nullptr)) {
            o.stop_reading = true;
        } else if (is("--close-after", nullptr)) {
            o.close_after = int_arg(argc, argv, &i);
        } else if (is("--fault-conn", nullptr)) {
            o.fault_conn = int_arg(argc, argv, &i);
        } else if (is("--times", nullptr)) {
            o.times = true;
        } else if (is("--rcvbuf", nullptr)) {
            o.rcvbuf = int_arg(argc, argv, &i);
        } else if (is("--after", nullptr)) {
            o.after = int_arg(argc, argv, &i);
        } else if (is("--stall", nullptr)) {
            o.stall_s = seconds_arg(argc, argv, &i);
        } else if (is("--stall-every", nullptr)) {
            o.stall_every = int_arg(argc, argv, &i);
            if (o.stall_every < 1) {
                fprintf(stderr, "vorlix-test-proxy: --stall-every needs 1 or more\n");
                exit(2);
            }
        } else if (is("--half-sync", nullptr)) {
            o.half_sync_s = seconds_arg(argc, argv, &i);
        } else if (is("--close-every", nullptr)) {
            o.close_every_s = seconds_arg(argc, argv, &i);
        } else if (is("--away", nullptr)) {
            o.away_s = seconds_arg(argc, argv, &i);
        } else {
            fprintf(stderr, "vorlix-test-proxy: unknown option %s\n", a);
            usage(stderr);
            return 2;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    line_times = o.times;
    start_ms = now_ms();
    if (o.out && !(out_file = fopen(o.out, "w"))) {
        fprintf(stderr, "vorlix-test-proxy: cannot open %s: %s\n", o.out, strerror(errno));
        return 2;
    }
    if (o.raw && !(raw_file = fopen(o.raw, "ab"))) {
        fprintf(stderr, "vorlix-test-proxy: cannot open %s: %s\n", o.raw, strerror(errno));
        return 2;
    }

    in_addr bind_addr{};
    if (inet_pton(AF_INET, o.bind_address, &bind_addr) != 1) {
        fprintf(stderr, "vorlix-test-proxy: not an IPv4 address: %s\n", o.bind_address);
        return 2;
    }
    int port = 0;
    int ls = listen_on(bind_addr, o.port, o.rcvbuf, &port);
    if (ls < 0) {
        fprintf(stderr, "vorlix-test-proxy: cannot listen: %s\n", strerror(errno));
        return 2;
    }
    emit("listening on %s:%d\n", o.bind_address, port);
    if (o.port_file) {
        // Written under another name first, so that a reader never sees half a number.
        char tmp[4096];
        snprintf(tmp, sizeof(tmp), "%s.tmp", o.port_file);
        FILE* f = fopen(tmp, "w");
        if (!f) return 2;
        fprintf(f, "%d\n", port);
        fclose(f);
        rename(tmp, o.port_file);
    }

    long long deadline = now_ms() + o.timeout_s * 1000LL;
    static uint8_t data[1 << 16];
    for (int conn = 1; conn <= o.connections; conn++) {
        pollfd lp = {ls, POLLIN, 0};
        int wait = static_cast<int>(deadline - now_ms());
        if (wait <= 0 || poll(&lp, 1, wait) <= 0) {
            emit("timeout waiting for connection %d\n", conn);
            break;
        }
        int fd = accept(ls, nullptr, nullptr);
        if (fd < 0) continue;
        emit("conn %d open\n", conn);
        bool faults = o.fault_conn == 0 || o.fault_conn == conn;
        bool cut_done = false;

        // What goes out on connecting: faults first, then the sync requests.
        if (faults && o.garbage > 0) {
            for (int k = 0; k < o.garbage; k++) {
                uint8_t x = 'x';
                send_bytes(fd, &x, 1);
            }
        }
        if (faults && o.oversize) {
            uint8_t h[kL2HeaderBytes];
            l2_put_header(h, now_ts(), kProxyId, L2_OP_STAT_REQ, 0);
            h[19] = 160;
            send_bytes(fd, h, sizeof(h));
        }
        if (faults && o.op >= 0) {
            uint8_t m[kL2HeaderBytes + 3];
            l2_put_header(m, now_ts(), kProxyId, static_cast<uint8_t>(o.op), 3);
            m[20] = 1;
            m[21] = 2;
            m[22] = 3;
            send_bytes(fd, m, sizeof(m));
        }
        if (faults && o.cut) {
            uint8_t m[kSyncMessageBytes];
            make_sync(m, 1, o.tag, now_ts());
            send_bytes(fd, m, 10);
            cut_done = true;
        }
        int syncs_left = o.sync_slots >= 0 ? o.sync_count : 0;
        long long next_sync = now_ms();
        last_time = now_ts();

        size_t have = 0;
        int received = 0;
        const char* reason = "peer closed";
        // The --after faults, armed until `after` messages have come.
        const bool stall_here = o.stall_s >= 0 && conn % o.stall_every == 0;
        bool armed = faults && (stall_here || o.half_sync_s >= 0);
        bool stalled = false;
        long long stall_start = 0;
        long long stall_until = 0;  // 0: until reset or the next connection
        long long half_rest_at = -1;
        uint8_t half[kSyncMessageBytes];
        const long long close_at =
            faults && o.close_every_s > 0 ? now_ms() + static_cast<long long>(o.close_every_s * 1000)
                                          : deadline;
        for (;;) {
            if (cut_done) {
                reason = "cut in the middle of a message";
                break;
            }
            long long t = now_ms();
            if (t >= deadline) {
                reason = "timeout";
                break;
            }
            if (t >= close_at) {
                reason = "closed after the given time";
                break;
            }
            if (armed && received >= o.after) {
                armed = false;
                if (stall_here) {
                    stalled = true;
                    stall_start = t;
                    stall_until = o.stall_s > 0 ? t + static_cast<long long>(o.stall_s * 1000) : 0;
                    emit("conn %d: stalled after %d messages\n", conn, received);
                }
                if (o.half_sync_s >= 0) {
                    make_sync(half, 1, o.tag, last_time);
                    send_bytes(fd, half, 10);
                    half_rest_at = t + static_cast<long long>(o.half_sync_s * 1000);
                    emit("conn %d: sent 10 bytes of a sync request\n", conn);
                }
            }
            if (half_rest_at >= 0 && t >= half_rest_at) {
                send_bytes(fd, half + 10, sizeof(half) - 10);
                half_rest_at = -1;
                emit("conn %d: sent the rest of the sync request\n", conn);
            }
            if (stalled) {
                if (stall_until > 0 && t >= stall_until) {
                    stalled = false;
                    emit("conn %d: reading again after %.1f s\n", conn, (t - stall_start) / 1000.0);
                    continue;
                }
                // Nothing is read; a reset shows as an error on the socket,
                // and a stall for ever ends when the receiver connects anew.
                pollfd ps[2] = {{fd, 0, 0}, {ls, POLLIN, 0}};
                long long until = stall_until > 0 && stall_until < close_at ? stall_until : close_at;
                if (half_rest_at >= 0 && half_rest_at < until) until = half_rest_at;
                poll(ps, stall_until > 0 ? 1 : 2, static_cast<int>(until > t ? until - t : 0));
                if (ps[0].revents & (POLLERR | POLLHUP)) {
                    reason = "reset by the receiver during the stall";
                    emit("conn %d: reset by the receiver %.1f s into the stall\n", conn,
                         (now_ms() - stall_start) / 1000.0);
                    break;
                }
                if (stall_until == 0 && (ps[1].revents & POLLIN)) {
                    reason = "left for the next connection";
                    break;
                }
                continue;
            }
            if (syncs_left > 0 && t >= next_sync) {
                uint8_t m[kSyncMessageBytes];
                make_sync(m, o.sync_slots, o.tag, last_time);
                send_bytes(fd, m, sizeof(m));
                emit("conn %d: sent sync request n_slots=%d tag=%d\n", conn, o.sync_slots, o.tag);
                syncs_left--;
                next_sync = t + o.sync_interval_ms;
            }
            if (faults && o.stop_reading) {
                usleep(10000);
                continue;
            }
            pollfd p = {fd, POLLIN, 0};
            long long until = close_at;
            if (syncs_left > 0 && next_sync < until) until = next_sync;
            if (half_rest_at >= 0 && half_rest_at < until) until = half_rest_at;
            int ms = static_cast<int>(until - t);
            if (ms < 0) ms = 0;
            if (poll(&p, 1, ms) <= 0) continue;
            ssize_t n = recv(fd, data + have, sizeof(data) - have, 0);
            if (n <= 0) break;
            if (raw_file) {
                fwrite(data + have, 1, static_cast<size_t>(n), raw_file);
                fflush(raw_file);
            }
            have += static_cast<size_t>(n);
            size_t used = parse_messages(conn, data, have, &received);
            memmove(data, data + used, have - used);
            have -= used;
            if (faults && o.close_after > 0 && received >= o.close_after) {
                reason = "closed after the given messages";
                break;
            }
        }
        close(fd);
        if (have > 0) emit("conn %d: %zu bytes of an unfinished message at the end\n", conn, have);
        emit("conn %d closed (%s), %d messages\n", conn, reason, received);
        if (faults && o.away_s > 0 && conn < o.connections) {
            close(ls);
            emit("away for %.1f s\n", o.away_s);
            usleep(static_cast<useconds_t>(o.away_s * 1e6));
            ls = listen_on(bind_addr, port, o.rcvbuf, &port);
            if (ls < 0) {
                emit("cannot listen again: %s\n", strerror(errno));
                break;
            }
            emit("listening again\n");
        }
    }
    close(ls);
    if (raw_file) fclose(raw_file);
    if (out_file != stdout) fclose(out_file);
    return 0;
}
