// Mode S frame check: parity per downlink format, the aircraft table, and
// the hand-off of valid extended squitters to the frame callback.
//
// Deciding and committing are apart: adsb_validate says what the check
// makes of a frame without changing anything, so that a slicer can try a
// candidate several ways; adsb_commit counts, stores and sends it, once.
//
// Owns one run-wide counter (the DF20/21 replies without a downlink
// request); the table is ctx->aircraft (sdr/aircraft), the counts
// ctx->stats. Promises: only clean DF17/DF18 with a plausible time leave
// the decoder through ctx->frame_callback, at most once per commit; every
// frame that passes the check, of every format it sends (DF0, 4, 5, 11,
// 16, 17, 18, 20, 21), goes to ctx->frame_hook once per commit, whatever
// the callback did. The classic mode (ctx->classic) checks, counts and
// forwards as it always did; the default mode is stricter about the
// replies it takes (sdr/adsb_check.cpp's head says how).
#pragma once

#include <cstdint>

#include "include/context.h"

/// The 24-bit Mode S parity (generator 0x1FFF409) over the first `n_bits`
/// data bits of `frame` (32 for a short frame, 88 for a long one), computed
/// bit by bit without a table.
uint32_t adsb_parity(const uint8_t* frame, int n_bits);

/// How many leading bytes of a frame whose first byte gives downlink format
/// `df` adsb_check reads: 1 for the formats it rejects at once, 7 for the
/// short formats, 14 for the long ones. The slicer decides no more bits.
int adsb_frame_bytes(int df);

/// As adsb_frame_bytes, for the default slicer: DF0 (7) and DF16 (14) too,
/// which the default mode's check validates.
int adsb_frame_bytes_all(int df);

/// What the frame check makes of a frame, before anything is counted,
/// stored or sent.
struct FrameVerdict {
    int32_t df;          ///< downlink format, 0..31
    uint32_t remainder;  ///< computed parity xor the parity field; 0 for unchecked formats
    int32_t entry;       ///< index of the aircraft entry the frame names, -1 for none
    int32_t accepted;    ///< the DF when the frame passes (clean DF11/17/18, DF20/21 of a known
                         ///< aircraft), else -1; the squitter time, the replies' recency
                         ///< (default mode) and the callback aside
    int32_t corrected;   ///< bits the slicer flipped to make the frame, 0..4: 0 from
                         ///< adsb_validate; a slicer that corrected the frame sets it
};

/// Validates one frame (14 bytes) against the parity and the aircraft table
/// without changing anything: a candidate can be validated in several
/// decodings and committed once.
FrameVerdict adsb_validate(const Context* ctx, const uint8_t* frame);

/// Whether the check takes the frame `v` was made for as it stands: accepts
/// it (clean DF11/17/18, DF20/21 of a known aircraft) or attributes it to a
/// known aircraft (DF4, 5, 24..27); a squitter's time and the callback aside.
bool adsb_taken(const FrameVerdict& v);

/// Counts, stores and (for a clean DF17/DF18) sends the frame `v` was made
/// for, with nothing changed since adsb_validate but `corrected`; returns as
/// adsb_check. Only a frame whose parity passed as decoded renews its
/// aircraft's last_clean (a DF17/DF18 with `corrected` 0, a DF11 with
/// interrogator code 0): that time admits corrections, which must not admit
/// themselves.
/// Every frame committed passes one point at its end, with its bytes, time
/// of arrival and level.
int32_t adsb_commit(Context* ctx, const uint8_t* frame, const FrameVerdict* v, TimeStamp toa,
                    int32_t level);

/// Checks one candidate frame (14 bytes); returns its DF when accepted, -1
/// otherwise (failed parity, unknown address, unvalidated format, or a failed
/// frame callback). A clean DF17/DF18 whose `toa` is not ts_plausible counts
/// as rejected, is neither entered in the table nor forwarded, and is warned
/// about once per statistics interval (per value of stats.report_time).
int32_t adsb_check(Context* ctx, const uint8_t* frame, TimeStamp toa, int32_t level);
