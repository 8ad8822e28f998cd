// Mode S frame check.
//
// Every candidate the slicer cuts is counted in received[DF]. Formats with
// their address in clear (DF11, DF17, DF18) verify their parity on their own
// and may enter the aircraft table; address/parity formats (DF4, DF5, DF20,
// DF21, DF24..DF27) fold the address into the parity field and are accepted
// only when that address is already in the table. Only clean DF17/DF18 leave
// the decoder, through the frame callback.
//
// The aircraft table is sdr/aircraft's (ctx->aircraft): a lookup is one
// probe of its index, and only a new aircraft in a full table costs a scan.
#include "sdr/adsb_check.h"

#include <bit>
#include <cstdio>
#include <cstring>

#include "include/bytes.h"
#include "sdr/aircraft.h"
#include "sdr/log.h"
#include "sdr/log_limit.h"
#include "sdr/parity.h"

namespace {

constexpr char kModule[] = "sdr/adsb_check";

constexpr int kShortBits = 32;  // 56-bit frame: 32 data bits + 24 parity bits
constexpr int kLongBits = 88;   // 112-bit frame: 88 data bits + 24 parity bits
constexpr int kFrameBytes = 14;
constexpr uint32_t kDf11CodeMask = 0xFFFF80U;  // low 7 bits: interrogator code
constexpr int kLevelClasses = 16;

/// DF20/DF21 replies reported as carrying no downlink request, over the run.
constinit uint32_t no_request_count = 0;

/// The parity remainder: computed parity xor the frame's 24-bit parity field.
uint32_t remainder_of(const uint8_t* frame, int n_bits) {
    return parity_bytes(frame, n_bits) ^ get_be24(frame + n_bits / 8);
}

int bit_length(int32_t v) {
    return 32 - std::countl_zero(static_cast<uint32_t>(v));
}

/// The entry for a new address: the first free one; in a full table the
/// least recently heard one, so that the aircraft on the air keep theirs.
AircraftEntry* take_entry(Context* ctx, uint32_t address) {
    return &ctx->aircraft.entries[aircraft_take(&ctx->aircraft, address)];
}

/// A format that checks its own parity: counted in `ok` or `bad` of the
/// entry, and a clean one in the level class `cls`.
int32_t count_checked(DecoderStats* stats, int cls, bool clean, int32_t* ok, int32_t* bad, int df) {
    if (!clean) {
        (*bad)++;
        return -1;
    }
    (*ok)++;
    stats->ok_bins[cls]++;
    return df;
}

int32_t reject(DecoderStats* stats, int df, int32_t level) {
    stats->rejected[df]++;
    level_stats_update(&stats->rejected_level, level);
    return -1;
}

/// Updates the entry a frame is attributed to; `clean` tells whether the
/// frame's parity passed. Returns the DF when the frame counts as accepted.
int32_t update_entry(Context* ctx, AircraftEntry* e, int df, bool clean, TimeStamp toa,
                     int32_t level) {
    DecoderStats* stats = &ctx->stats;
    e->last_seen = toa;
    if (clean && (df == 11 || df == 17 || df == 18)) e->last_clean = toa;
    level_stats_update(&e->level, level);
    int cls = bit_length(level) - bit_length(ctx->trigger_level) + 2;
    if (cls < 0) cls = 0;
    if (cls > kLevelClasses - 1) cls = kLevelClasses - 1;
    switch (df) {
        case 11:
            return count_checked(stats, cls, clean, &e->df11_ok, &e->df11_bad, 11);
        case 17:
        case 18:
            return count_checked(stats, cls, clean, &e->es_ok, &e->es_bad, df);
        case 20:
        case 21:
            e->commb++;
            stats->ok_bins[cls]++;
            return df;
        default:
            return -1;
    }
}

/// Comm-B identification (BDS 2,0): eight 6-bit codes in MB bits 8..55
/// (frame bytes 5..10); 1..26 are letters, 33 a space, others kept as they are.
void decode_callsign(AircraftEntry* e, const uint8_t* frame) {
    uint64_t bits = static_cast<uint64_t>(get_be16(frame + 5)) << 32 | get_be32(frame + 7);
    for (int i = 0; i < 8; i++) {
        int code = static_cast<int>((bits >> (42 - 6 * i)) & 0x3F);
        if (code >= 1 && code <= 26) {
            code += 64;
        } else if (code == 33) {
            code = ' ';
        }
        e->callsign[i] = static_cast<char>(code);
    }
    e->callsign[8] = '\0';
}

char comm_type(int dr) {
    switch (dr) {
        case 0:
            return '-';
        case 1:
        case 4:
        case 5:
            return 'B';
        case 2:
            return 'T';
        default:
            return '?';
    }
}

/// DF20/DF21 for a known aircraft, after the parity/address test.
int32_t check_commb(Context* ctx, AircraftEntry* e, const uint8_t* frame, int df, TimeStamp toa,
                    int32_t level) {
    level_stats_update(&ctx->stats.accepted_level, level);
    int dr = frame[1] >> 3;
    char letter = comm_type(dr);
    if (letter == 'B') {
        if (frame[4] == 0x20) decode_callsign(e, frame);
    } else if (dr == 0) {
        uint32_t n = ++no_request_count;
        int mask = (n - 1) % 100 == 0 ? DBG_STATISTICS : DBG_DECODE1;
        log_debug(mask, "%4d. df=%d, no downlink request (dr=%d) ", static_cast<int>(n), df, 0);
        log_hex(mask, frame, kFrameBytes, "%02X ");
    } else if (log_allowed(LINE_NOT_COMMB)) {
        fprintf(stderr, "df=%d, but NOT Comm-B (comm_type='%c', dr=%d)\n", df, letter, dr);
        fflush(stderr);
    }
    return update_entry(ctx, e, df, true, toa, level);
}

/// Clean DF17/DF18 whose time of arrival lies outside the plausible window:
/// counted as rejected, with a warning.
int32_t reject_implausible(Context* ctx, const uint8_t* frame, int df, TimeStamp toa,
                           int32_t level) {
    DecoderStats* stats = &ctx->stats;
    if (log_allowed(LINE_CHECK_TIME_WINDOW)) {
        char text[80];  // time_text needs 24; the compiler bounds it at 73
        log_warning(
            "df=%d from %06x: time of arrival %s (0x%08x.%08x) outside the plausible "
            "window, frame dropped",
            df, get_be24(frame + 1), time_text(text, sizeof(text), toa), ts_seconds(toa),
            ts_fraction(toa));
    }
    return reject(stats, df, level);
}

int32_t commit_squitter(Context* ctx, const uint8_t* frame, const FrameVerdict& v, TimeStamp toa,
                        int32_t level) {
    DecoderStats* stats = &ctx->stats;
    const int df = v.df;
    AircraftEntry* e = v.entry >= 0 ? &ctx->aircraft.entries[v.entry] : nullptr;
    if (v.remainder != 0) {
        reject(stats, df, level);
        if (e != nullptr) update_entry(ctx, e, df, false, toa, level);
        return -1;
    }
    if (!ts_plausible(toa)) return reject_implausible(ctx, frame, df, toa, level);
    level_stats_update(&stats->accepted_level, level);
    if (e == nullptr) e = take_entry(ctx, get_be24(frame + 1));
    FrameInfo info{toa};
    if (ctx->frame_callback != nullptr && ctx->frame_callback(ctx, frame, kFrameBytes, &info) < 0) {
        return -1;
    }
    return update_entry(ctx, e, df, true, toa, level);
}

int32_t commit_all_call(Context* ctx, const uint8_t* frame, const FrameVerdict& v, TimeStamp toa,
                        int32_t level) {
    DecoderStats* stats = &ctx->stats;
    const bool clean = (v.remainder & kDf11CodeMask) == 0;
    if (v.entry >= 0) {
        if (clean) {
            level_stats_update(&stats->accepted_level, level);
        } else {
            reject(stats, 11, level);
        }
        return update_entry(ctx, &ctx->aircraft.entries[v.entry], 11, clean, toa, level);
    }
    if (!clean) return reject(stats, 11, level);
    AircraftEntry* e = take_entry(ctx, get_be24(frame + 1));
    level_stats_update(&stats->accepted_level, level);
    return update_entry(ctx, e, 11, true, toa, level);
}

}  // namespace

uint32_t adsb_parity(const uint8_t* frame, int n_bits) {
    uint32_t r = 0;
    for (int i = 0; i < n_bits; i++) {
        if ((i & 7) == 0) r ^= static_cast<uint32_t>(frame[i >> 3]) << 24;
        if (r & 0x80000000U) r ^= 0xFFFA0480U;
        r <<= 1;
    }
    return r >> 8;
}

int adsb_frame_bytes(int df) {
    switch (df) {
        case 4:
        case 5:
        case 11:
            return 7;
        case 17:
        case 18:
        case 20:
        case 21:
        case 24:
        case 25:
        case 26:
        case 27:
            return kFrameBytes;
        default:
            return 1;  // adsb_check only counts it
    }
}

FrameVerdict adsb_validate(const Context* ctx, const uint8_t* frame) {
    VX_ASSERT(kModule, ctx != nullptr && frame != nullptr);
    const AircraftTable* table = &ctx->aircraft;
    FrameVerdict v{frame[0] >> 3, 0, -1, -1};
    const int df = v.df;
    if (df == 11 || df == 17 || df == 18) {
        // The address in clear, the parity on its own.
        v.remainder = remainder_of(frame, df == 11 ? kShortBits : kLongBits);
        const uint32_t aa = get_be24(frame + 1);
        v.entry = aircraft_find(table, aa);  // -1 for address 0
        if (df == 11 ? (v.remainder & kDf11CodeMask) == 0 : v.remainder == 0) v.accepted = df;
    } else if (df == 4 || df == 5 || df == 20 || df == 21 || (df >= 24 && df <= 27)) {
        // Address/parity: the remainder is the address; zero names no aircraft.
        v.remainder = remainder_of(frame, df == 4 || df == 5 ? kShortBits : kLongBits);
        v.entry = aircraft_find(table, v.remainder);  // -1 for 0, which names no aircraft
        if (v.entry >= 0 && (df == 20 || df == 21)) v.accepted = df;
    }
    return v;
}

bool adsb_taken(const FrameVerdict& v) {
    if (v.accepted >= 0) return true;
    // Address/parity formats that name a known aircraft refresh it.
    return v.entry >= 0 && v.df != 11 && v.df != 17 && v.df != 18;
}

namespace {

/// The commit by format: counts, the table and the callback.
int32_t commit_format(Context* ctx, const uint8_t* frame, const FrameVerdict* v, TimeStamp toa,
                      int32_t level) {
    DecoderStats* stats = &ctx->stats;
    const int df = v->df;
    switch (df) {
        case 4:
        case 5:
        case 24:
        case 25:
        case 26:
        case 27:
            if (v->entry < 0) return reject(stats, df, level);
            level_stats_update(&stats->accepted_level, level);
            return update_entry(ctx, &ctx->aircraft.entries[v->entry], df, true, toa, level);
        case 11:
            return commit_all_call(ctx, frame, *v, toa, level);
        case 17:
        case 18:
            return commit_squitter(ctx, frame, *v, toa, level);
        case 20:
        case 21:
            if (v->entry < 0) return reject(stats, df, level);
            return check_commb(ctx, &ctx->aircraft.entries[v->entry], frame, df, toa, level);
        default:
            return -1;
    }
}

}  // namespace

int32_t adsb_commit(Context* ctx, const uint8_t* frame, const FrameVerdict* v, TimeStamp toa,
                    int32_t level) {
    VX_ASSERT(kModule, ctx != nullptr && frame != nullptr && v != nullptr);
    ctx->stats.received[v->df]++;
    const int32_t r = commit_format(ctx, frame, v, toa, level);
    // Every candidate the demodulators hand on passes here once, with its
    // bytes, its time of arrival and its level: the place for anything that
    // wants the frames the check takes (adsb_taken(*v)), of every format.
    return r;
}

int32_t adsb_check(Context* ctx, const uint8_t* frame, TimeStamp toa, int32_t level) {
    const FrameVerdict v = adsb_validate(ctx, frame);
    return adsb_commit(ctx, frame, &v, toa, level);
}
