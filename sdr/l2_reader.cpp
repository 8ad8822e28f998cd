#include "sdr/l2_reader.h"

#include <cstring>

namespace {

void consume(L2Reader* r, int n, int64_t now_ms) {
    memmove(r->buf, r->buf + n, static_cast<size_t>(r->have - n));
    r->have -= n;
    r->since_ms = now_ms;
}

}  // namespace

void l2_reader_clear(L2Reader* r) {
    r->have = 0;
    r->since_ms = 0;
}

int l2_reader_room(const L2Reader* r) {
    return kL2MaxMessage - r->have;
}

void l2_reader_took(L2Reader* r, int n, int64_t now_ms) {
    if (n <= 0) return;
    if (r->have == 0) r->since_ms = now_ms;
    r->have += n;
}

int l2_reader_next(L2Reader* r, L2Message* msg, int64_t now_ms) {
    for (int i = 0; i < 4; i++) {
        if (i >= r->have) return RF_PARTIAL;
        if (r->buf[i] != kL2Magic[i]) {
            consume(r, i + 1, now_ms);  // the byte that failed is consumed too
            return RF_HUNT;
        }
    }
    if (r->have < kL2HeaderBytes) return RF_PARTIAL;
    l2_get_header(r->buf, msg);
    if (msg->length > kL2MaxBody) return RF_INCONSISTENT;
    const int total = kL2HeaderBytes + msg->length;
    if (r->have < total) return RF_PARTIAL;
    memcpy(msg->body, r->buf + kL2HeaderBytes, msg->length);
    consume(r, total, now_ms);
    return RF_OK;
}

bool l2_reader_partial(const L2Reader* r, bool* in_body) {
    *in_body = r->have >= kL2HeaderBytes;
    return r->have > 0;
}
