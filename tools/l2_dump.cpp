// vorlix-l2-dump: prints a stream of level-2 messages (what vorlix writes to
// standard output or to a local file) as text, one line per message.
//
//   2017/07/14 02:40:00.500000Z 0a08=l-usb-mac-00446655 L2_OP_FRAME_DF17 8d4840d6...
//
// With --star only frame messages are printed, each as *<HEX>; on a line.
#include <errno.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "include/level2.h"
#include "include/uniq.h"

namespace {

void usage(FILE* f) {
    fprintf(f,
            "usage: vorlix-l2-dump [-s|--star] [FILE|-]\n"
            "Reads level-2 messages from FILE (default: standard input) and prints one line\n"
            "per message: UTC time with microseconds, station id, op name, body in hex.\n"
            "  -s, --star   print only frames, as *8D4840D6202CC371C32CE0576098;\n"
            "  -h, --help   this text\n"
            "Exit status: 0 for a clean stream, 1 when bytes had to be skipped or the last\n"
            "message is cut off, 2 for a usage or open error.\n");
}

/// A buffered reader over a descriptor, counting the offset.
struct Input {
    int fd;
    uint8_t buf[65536];
    size_t have;
    size_t pos;
    long long offset;
};

/// The next byte, or -1 at end of input.
int next_byte(Input* in) {
    if (in->pos == in->have) {
        ssize_t n;
        do {
            n = read(in->fd, in->buf, sizeof(in->buf));
        } while (n < 0 && errno == EINTR);
        if (n <= 0) return -1;
        in->have = static_cast<size_t>(n);
        in->pos = 0;
    }
    in->offset++;
    return in->buf[in->pos++];
}

bool read_bytes(Input* in, uint8_t* out, int count) {
    for (int i = 0; i < count; i++) {
        int c = next_byte(in);
        if (c < 0) return false;
        out[i] = static_cast<uint8_t>(c);
    }
    return true;
}

bool is_frame_op(int op) {
    return op == L2_OP_FRAME_REST || (op >= 12 && op <= 16);
}

void print_time(TimeStamp t) {
    time_t sec = static_cast<time_t>(ts_seconds(t));
    struct tm tm_utc;
    gmtime_r(&sec, &tm_utc);
    unsigned long long us = (static_cast<unsigned long long>(ts_fraction(t)) * 1000000ULL) >> 32;
    printf("%04d/%02d/%02d %02d:%02d:%02d.%06lluZ", tm_utc.tm_year + 1900, tm_utc.tm_mon + 1,
           tm_utc.tm_mday, tm_utc.tm_hour, tm_utc.tm_min, tm_utc.tm_sec, us);
}

void print_message(const L2Message& m, bool star) {
    if (star) {
        if (!is_frame_op(m.op)) return;
        putchar('*');
        for (int i = 0; i < m.length; i++) printf("%02X", m.body[i]);
        printf(";\n");
        return;
    }
    char id[64];
    print_time(m.time);
    const char* name = l2_op_name(m.op);
    if (name) {
        printf(" %s %s", uniq2str(&m.uniq, id, sizeof(id)), name);
    } else {
        printf(" %s op%d", uniq2str(&m.uniq, id, sizeof(id)), m.op);
    }
    if ((m.op == L2_OP_SYNC_REQ || m.op == L2_OP_SYNC_RSP) && m.length == kSyncBodyBytes) {
        SyncBody b = sync_body_get(m.body);
        printf(" tag=%u n_slots=%u", b.tag, b.n_slots);
        int used = b.n_slots < kSyncSlots ? b.n_slots : kSyncSlots;
        for (int i = 0; i < used; i++) {
            printf(" [%s ", uniq2str(&b.slots[i].uniq, id, sizeof(id)));
            print_time(b.slots[i].time);
            printf("]");
        }
    } else if (m.length > 0) {
        putchar(' ');
        for (int i = 0; i < m.length; i++) printf("%02x", m.body[i]);
    }
    putchar('\n');
}

}  // namespace

int main(int argc, char** argv) {
    bool star = false;
    const char* path = nullptr;
    for (int i = 1; i < argc; i++) {
        if (!strcmp(argv[i], "-s") || !strcmp(argv[i], "--star")) {
            star = true;
        } else if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help")) {
            usage(stdout);
            return 0;
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            fprintf(stderr, "vorlix-l2-dump: unknown option %s\n", argv[i]);
            usage(stderr);
            return 2;
        } else if (path == nullptr) {
            path = argv[i];
        } else {
            usage(stderr);
            return 2;
        }
    }
    static Input in;
    in.fd = 0;
    if (path != nullptr && strcmp(path, "-") != 0) {
        in.fd = open(path, O_RDONLY);
        if (in.fd < 0) {
            fprintf(stderr, "vorlix-l2-dump: cannot open %s: %s\n", path, strerror(errno));
            return 2;
        }
    }

    int status = 0;
    long long skipped = 0;
    for (;;) {
        // Hunt for the magic.
        int matched = 0;
        uint8_t header[kL2HeaderBytes];
        while (matched < 4) {
            int c = next_byte(&in);
            if (c < 0) break;
            if (c == kL2Magic[matched]) {
                header[matched++] = static_cast<uint8_t>(c);
            } else if (c == kL2Magic[0]) {  // "ads2" overlaps itself only at its start
                skipped += matched;
                header[0] = static_cast<uint8_t>(c);
                matched = 1;
            } else {
                skipped += matched + 1;
                matched = 0;
            }
        }
        if (matched < 4) {
            skipped += matched;
            break;
        }
        L2Message m{};
        if (!read_bytes(&in, header + 4, kL2HeaderBytes - 4)) {
            fprintf(stderr, "vorlix-l2-dump: header cut off at offset %lld\n", in.offset);
            status = 1;
            break;
        }
        l2_get_header(header, &m);
        if (m.length > kL2MaxBody) {
            fprintf(stderr, "vorlix-l2-dump: length %d at offset %lld, skipped\n", m.length,
                    in.offset - kL2HeaderBytes);
            status = 1;
            continue;
        }
        if (!read_bytes(&in, m.body, m.length)) {
            fprintf(stderr, "vorlix-l2-dump: body cut off at offset %lld\n", in.offset);
            status = 1;
            break;
        }
        print_message(m, star);
    }
    fflush(stdout);
    if (skipped > 0) {
        fprintf(stderr, "vorlix-l2-dump: %lld bytes skipped\n", skipped);
        status = 1;
    }
    return status;
}
