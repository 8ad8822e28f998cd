// Mode S frame check.
//
// Every candidate the slicer cuts is counted in received[DF]. Formats with
// their address in clear (DF11, DF17, DF18) verify their parity on their own
// and may enter the aircraft table; address/parity formats (DF4, DF5, DF20,
// DF21, DF24..DF27) fold the address into the parity field and are accepted
// only when that address is already in the table. Only clean DF17/DF18 leave
// the decoder through the frame callback; every frame that passes, of every
// format, goes to the frame hook (the listening outputs).
//
// The default mode is stricter than the classic one where a wrong frame
// would go out: an all-call reply (DF11) with an interrogator code other
// than 0 counts only for an aircraft in the table and vouches for no time
// of clean parity; an address/parity reply (DF0, 4, 5, 16, 20, 21) counts
// only for an aircraft heard with clean parity in the last
// kReplyRecentSeconds; DF0 and DF16 are validated, DF24..27 are not.
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

/// Default mode: an address/parity reply counts for an aircraft heard with
/// clean parity (a DF11 with code 0, a DF17/18) at most this long before
/// it. An aircraft in coverage sends an acquisition squitter about every
/// second and extended squitters several times a second, so one not heard
/// clean for a minute has left (or fades): its address no longer vouches
/// for a reply. The window keeps the addresses a damaged or random
/// remainder can hit to the aircraft on the air now, n in 2^24 per
/// candidate, instead of every address the table ever held; it matches the
/// default slicer's window for corrections.
constexpr int64_t kReplyRecentSeconds = 60;

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

/// Default mode: the entry was heard with clean parity within
/// kReplyRecentSeconds before `toa` (a second after it allowed: candidates
/// come in the order of their coarse start, not of their fine time).
bool heard_clean_lately(const Context* ctx, int32_t entry, TimeStamp toa) {
    const TimeStamp clean = ctx->aircraft.entries[entry].last_clean;
    if (clean == 0) return false;
    const int64_t age = ts_diff(toa, clean);
    return age >= -static_cast<int64_t>(kTsOneSecond) &&
           age <= kReplyRecentSeconds * static_cast<int64_t>(kTsOneSecond);
}

/// An address/parity reply names an aircraft the check takes it for: one
/// in the table (classic), one heard clean lately (default).
bool reply_admitted(const Context* ctx, const FrameVerdict& v, TimeStamp toa) {
    return v.entry >= 0 && (ctx->classic || heard_clean_lately(ctx, v.entry, toa));
}

/// An all-call reply passes: parity clean up to the interrogator code; in
/// the default mode a code other than 0 only for an aircraft in the table.
bool all_call_admitted(const Context* ctx, const FrameVerdict& v) {
    if ((v.remainder & kDf11CodeMask) != 0) return false;
    return ctx->classic || v.remainder == 0 || v.entry >= 0;
}

/// Default mode: an all-call reply with a code other than 0 (a 17-bit
/// check) leaves the aircraft's time of clean parity as it was.
void keep_clean_time(const Context* ctx, const FrameVerdict& v, AircraftEntry* e,
                     TimeStamp clean_before) {
    if (!ctx->classic && v.remainder != 0) e->last_clean = clean_before;
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
    const bool clean = all_call_admitted(ctx, v);
    if (v.entry >= 0) {
        if (clean) {
            level_stats_update(&stats->accepted_level, level);
        } else {
            reject(stats, 11, level);
        }
        AircraftEntry* e = &ctx->aircraft.entries[v.entry];
        const TimeStamp clean_before = e->last_clean;
        const int32_t r = update_entry(ctx, e, 11, clean, toa, level);
        keep_clean_time(ctx, v, e, clean_before);
        return r;
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

int adsb_frame_bytes_all(int df) {
    if (df == 0) return 7;
    if (df == 16) return kFrameBytes;
    return adsb_frame_bytes(df);
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

namespace {

/// The address/parity formats the check validates: DF4, 5, 20, 21 and
/// DF24..27 (classic); DF0, 4, 5, 16, 20, 21 (default).
bool address_parity(const Context* ctx, int df) {
    if (df == 4 || df == 5 || df == 20 || df == 21) return true;
    if (ctx->classic) return df >= 24 && df <= 27;
    return df == 0 || df == 16;
}

}  // namespace

FrameVerdict adsb_validate(const Context* ctx, const uint8_t* frame) {
    VX_ASSERT(kModule, ctx != nullptr && frame != nullptr);
    const AircraftTable* table = &ctx->aircraft;
    FrameVerdict v{frame[0] >> 3, 0, -1, -1, 0};
    const int df = v.df;
    if (df == 11 || df == 17 || df == 18) {
        // The address in clear, the parity on its own.
        v.remainder = remainder_of(frame, df == 11 ? kShortBits : kLongBits);
        const uint32_t aa = get_be24(frame + 1);
        v.entry = aircraft_find(table, aa);  // -1 for address 0
        if (df == 11 ? all_call_admitted(ctx, v) : v.remainder == 0) v.accepted = df;
    } else if (address_parity(ctx, df)) {
        // Address/parity: the remainder is the address; zero names no aircraft.
        v.remainder = remainder_of(frame, df < 16 ? kShortBits : kLongBits);
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

/// Renews the "heard with clean parity" time of the aircraft a committed
/// frame names, when its parity passed as decoded over all 24 bits: a
/// DF17/DF18 that no correction made, a DF11 with interrogator code 0.
/// That time is what admits corrections of the aircraft's squitters, so a
/// corrected frame must not renew it (nor a DF11 whose 17-bit check any
/// code passes). The entry may have been taken by this commit.
void renew_clean(Context* ctx, const uint8_t* frame, const FrameVerdict& v, TimeStamp toa) {
    if (v.remainder != 0 || v.corrected != 0 || (v.df != 11 && v.df != 17 && v.df != 18)) return;
    const int32_t entry = v.entry >= 0 ? v.entry : aircraft_find(&ctx->aircraft, get_be24(frame + 1));
    if (entry >= 0) ctx->aircraft.entries[entry].last_clean = toa;
}

/// The commit by format: counts, the table and the callback.
int32_t commit_format(Context* ctx, const uint8_t* frame, const FrameVerdict* v, TimeStamp toa,
                      int32_t level) {
    DecoderStats* stats = &ctx->stats;
    const int df = v->df;
    switch (df) {
        case 0:
        case 16:
            if (ctx->classic) return -1;  // only counted
            [[fallthrough]];
        case 4:
        case 5:
        case 24:
        case 25:
        case 26:
        case 27:
            if (!reply_admitted(ctx, *v, toa)) return reject(stats, df, level);
            level_stats_update(&stats->accepted_level, level);
            return update_entry(ctx, &ctx->aircraft.entries[v->entry], df, true, toa, level);
        case 11:
            return commit_all_call(ctx, frame, *v, toa, level);
        case 17:
        case 18:
            return commit_squitter(ctx, frame, *v, toa, level);
        case 20:
        case 21:
            if (!reply_admitted(ctx, *v, toa)) return reject(stats, df, level);
            return check_commb(ctx, &ctx->aircraft.entries[v->entry], frame, df, toa, level);
        default:
            return -1;
    }
}

/// Whether the frame `v` was made for passes the check (what commit_format
/// counts as neither rejected nor only counted), the frame callback's
/// result aside: what the frame hook gets. DF24..27, which the classic
/// check attributes to known aircraft, are not among them.
bool frame_passes(const Context* ctx, const FrameVerdict& v, TimeStamp toa) {
    switch (v.df) {
        case 17:
        case 18:
            return v.accepted >= 0 && ts_plausible(toa);
        case 11:
            return all_call_admitted(ctx, v);
        case 0:
        case 4:
        case 5:
        case 16:
        case 20:
        case 21:
            return reply_admitted(ctx, v, toa);
        default:
            return false;
    }
}

}  // namespace

int32_t adsb_commit(Context* ctx, const uint8_t* frame, const FrameVerdict* v, TimeStamp toa,
                    int32_t level) {
    VX_ASSERT(kModule, ctx != nullptr && frame != nullptr && v != nullptr);
    ctx->stats.received[v->df]++;
    // Decided before the commit changes the table.
    const bool passes = ctx->frame_hook != nullptr && frame_passes(ctx, *v, toa);
    const int32_t r = commit_format(ctx, frame, v, toa, level);
    if (r >= 0) renew_clean(ctx, frame, *v, toa);
    // Every candidate the demodulators hand on passes here once, with its
    // bytes, its time of arrival and its level; those that pass go to the
    // hook.
    if (passes) ctx->frame_hook(ctx, frame, adsb_frame_bytes_all(v->df), toa, level);
    return r;
}

int32_t adsb_check(Context* ctx, const uint8_t* frame, TimeStamp toa, int32_t level) {
    const FrameVerdict v = adsb_validate(ctx, frame);
    return adsb_commit(ctx, frame, &v, toa, level);
}
