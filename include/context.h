// The driver's context record and the records it shares with the
// demodulator, the frame check, the link and the statistics.
//
// One Context lives for the whole run (static storage in the driver); every
// module receives a pointer to it and owns the fields its comments name.
#pragma once

#include <cstdint>

#include "include/helper.h"
#include "include/level_stats.h"
#include "include/uniq.h"
#include "sdr/aircraft.h"

inline constexpr int kBlockBytes = 8192;              ///< one block: 4096 I/Q pairs
inline constexpr int kBlockPairs = kBlockBytes / 2;   ///< 4096
inline constexpr int kMaxHistory = 1024;              ///< history pairs kept, at most
inline constexpr int kSampleBytes = 2 * kMaxHistory + kBlockBytes;  ///< 10240
inline constexpr int kMagEntries = kBlockPairs + kMaxHistory + 1;   ///< 5121
inline constexpr int kRecordHeaderBytes = 16;         ///< capture record header
inline constexpr uint32_t kCaptureMagic = 0x54535201; ///< bytes 01 52 53 54

/// Frames the default demodulator recovered after the first decoding of a
/// candidate failed, by the stage that recovered them (reset every report).
struct RecoveredStats {
    uint32_t retry;    ///< by another fine offset or chip phase
    uint32_t one_bit;  ///< by correcting one bit
    uint32_t two_bit;  ///< by correcting two bits
    uint32_t three_bit;  ///< by correcting three bits
    uint32_t four_bit;   ///< by correcting four bits
};

/// Where the funnel lets triggers go, by test: the block scan's tests in
/// their order, then the slicers' order check. Counted in both modes; the
/// default mode's report prints and resets them (recovered_report).
struct FunnelStats {
    uint32_t triggers;      ///< positions whose magnitude reached the threshold
    uint32_t second_pulse;  ///< rejected: no other pulse within 5 us (default mode)
    uint32_t data_level;    ///< rejected: data level below half the threshold
    uint32_t ratio;         ///< rejected: preamble too strong for the data
    uint32_t flatness;      ///< rejected: data envelope not flat
    uint32_t score;         ///< rejected: score of ratio and correlation
    uint32_t sliced;        ///< candidates handed to the slicer
    uint32_t out_of_order;  ///< refused by the slicer: not later than the last candidate
};

/// The default demodulator's estimate of where the I and Q bytes are
/// centred (127 is only nominal: a dongle's is near 127.5, other front
/// ends and programs feeding standard input lie further off), and the
/// whole centre every magnitude of the current block is measured from.
/// Owned by sdr/demod/centre; the driver clears it at every attempt.
struct CentreState {
    int32_t est_i;        ///< running mean of the I bytes, 1/65536 LSB
    int32_t est_q;        ///< of the Q bytes
    uint32_t blocks;      ///< blocks estimated in this attempt; 0: not yet seeded
    uint32_t moves;       ///< steps the whole centre took in this attempt
    uint8_t track_i;      ///< the whole centre the estimate settled on
    uint8_t track_q;
    uint8_t use_i;        ///< the centre of the current block (127 in the classic mode)
    uint8_t use_q;
    uint8_t dist_i[256];  ///< |b - use_i| of every byte b; valid once `ready`
    uint8_t dist_q[256];  ///< |b - use_q|
    uint8_t ready;        ///< 1 once dist_i and dist_q hold use_i and use_q
};

/// The decoder's statistics, in the order of the report.
struct DecoderStats {
    uint32_t received[32];       ///< frames presented to the check, per DF
    uint32_t rejected[32];       ///< frames rejected, per DF
    LevelStats candidate_level;  ///< levels of all sliced candidates
    LevelStats rejected_level;   ///< levels of rejected frames
    LevelStats accepted_level;   ///< levels of accepted frames
    LevelStats noise_level;      ///< trigger level, once per block
    uint32_t n_blocks;           ///< blocks processed since the last report
    uint32_t skipped_blocks;     ///< never counted; printed as "skip"
    uint32_t peak_bins[16];      ///< triggers by preamble level class
    uint32_t rms_bins[16];       ///< triggers passing data level and ratio tests
    uint32_t corr_bins[16];      ///< candidates handed to the slicer
    uint32_t ok_bins[16];        ///< accepted frames by level class
    TimeStamp last_candidate_toa;  ///< time of arrival of the last candidate
    TimeStamp cpu_sys;           ///< system CPU time at the last report
    TimeStamp cpu_user;          ///< user CPU time at the last report
    TimeStamp report_time;       ///< wall clock at the last report
    RecoveredStats recovered;    ///< default demodulator only
    FunnelStats funnel;          ///< rejections by test
    uint32_t clipped;            ///< default demodulator: candidates whose preamble clipped
    uint32_t clipped_ok;         ///< of them, frames the check accepted
};

/// What travels with a frame to the frame callback.
struct FrameInfo {
    TimeStamp toa;  ///< time of arrival of the first preamble pulse
};

struct Context;

/// The frame callback: returns negative when the frame was not sent.
using FrameCallback = int (*)(Context* ctx, const uint8_t* frame, int length,
                              const FrameInfo* info);
/// The hook of every frame that passes the frame check, of every format
/// (`length` 7 or 14 bytes), with its time of arrival and the level the
/// check received; whatever it does, the check's result stays the same.
using FrameHook = void (*)(Context* ctx, const uint8_t* frame, int length, TimeStamp toa,
                           int32_t level);
/// Reads and handles at most one message from the peer; negative: link broken.
using ProcessFrameFn = int (*)(Context* ctx, const TimeStamp* time);

struct Context {
    // 1. samples: history_len pairs of history, then the current block.
    alignas(16) uint8_t samples[kSampleBytes];
    // 2. the current block: samples + 2 * history_len, or 8192 bytes at an
    //    even address elsewhere (the driver points it into its read buffer
    //    so that input is not copied; the pairs before it are then the
    //    history in samples).
    uint8_t* block;
    // 3. demodulator buffers: magnitude per pair of `samples`, 0..255, one
    //    byte each so that the per-sample loops touch 5 KiB, not 20.
    alignas(16) uint8_t mag[kMagEntries];
    // 4. time base
    TimeStamp cur_time;        ///< instant just after the last sample of the block
    TimeStamp last_stat_time;  ///< cur_time at the last statistics report
    uint64_t n_records;        ///< time-stamped records read in this attempt
    // 5. detection state (block processing; the driver resets it)
    int32_t trigger_level;  ///< adaptive level, about 6x the mean magnitude
    int32_t window_sum;     ///< sum of mag over the data window
    int32_t peak_mag;       ///< largest magnitude in the window since the last report
    int32_t skip;           ///< samples still to pass over, carried across blocks
    int32_t noise_blocks;   ///< default demodulator: blocks since its last noise estimate,
                            ///< 1..4; 0 at the start of an attempt (level not yet set)
    int32_t noise_target;   ///< the default demodulator's level: its last noise estimate
    CentreState centre;     ///< the I/Q centre the magnitudes are measured from
    // 6. options and link
    int32_t retry;          ///< -1 (no limit) .. 100
    int32_t time_interval;  ///< statistics interval, 1..3600 s
    int32_t wait;           ///< start-up delay, 0..3600 s
    uint32_t samp_rate;     ///< Hz, 2000000..3200000
    uint32_t resample_up;   ///< L: 6 MHz = samp_rate * L / M
    uint32_t resample_down; ///< M
    uint32_t filter_taps;   ///< 14 * L, at most 420
    uint32_t history_len;   ///< samples in 128 us, 8..1024
    const char* out_url;    ///< -o text; null without -o
    int32_t out_fd;         ///< output descriptor; 1 without -o
    int32_t out_remote;     ///< 1: TCP peer that may send requests
    UniqId uniq_id;         ///< this station's id
    int32_t sensitvity[4];  ///< -z values, each -5..20
    int32_t in_timestamped; ///< 1: time-stamped capture format
    int32_t classic;        ///< 1: -c, the classic single-pass demodulator and frame check
    uint16_t net_bo_port;   ///< --net-bo-port: the Beast output's port; 0 for none
    uint16_t net_ro_port;   ///< --net-ro-port: the raw output's port; 0 for none
    const char* net_bind_address;  ///< --net-bind-address (numeric); null: every address
    const char* in_name;    ///< input name; "-" is standard input
    int32_t in_fd;          ///< input descriptor; -1 between attempts
    int32_t out_broken;     ///< 1 once a write on out_fd has failed in this attempt
    // 7. statistics (cleared at the start of every attempt) and the aircraft
    //    table (kept for the whole run: a reconnection does not forget the
    //    aircraft heard)
    DecoderStats stats;
    AircraftTable aircraft;
    // 8. callbacks
    ProcessFrameFn process_frame;
    FrameCallback frame_callback;
    FrameHook frame_hook;  ///< null: none (the listening outputs set it)
    // 9. scratch
    uint8_t scratch[kBlockBytes];  ///< probe read, start-up date text
    char cmd_line[256];            ///< argv joined by blanks, at most 254 characters
    UniqId uniq_result;            ///< result record of calc_uniq
};
