// The service's command line: the option table in the order of the usage
// text, parse_args and print_usage.
//
// Owns prog_name. Promises: parse_args checks every value and ends the
// process through print_usage (status 1) with a line naming a bad one; it
// opens nothing but an -l log file, so that the start-up acts on the
// values (the listening ports are bound there, not here).
#pragma once

#include <cstdint>

#include "include/context.h"
#include "lib/getopt.h"

/// Letters of the options that have a long form only (control characters,
/// never matched as "-x").
inline constexpr char kOptNetBoPort = 1;       ///< --net-bo-port
inline constexpr char kOptNetRoPort = 2;       ///< --net-ro-port
inline constexpr char kOptNetBindAddress = 3;  ///< --net-bind-address

/// The option table, in the order of the usage text; the closing entry
/// (no name, letter 0) matches the lone "-".
inline constexpr OptionDesc kOptions[] = {
    {"samp_rate", 1, 's'},
    {"sensitvity", 1, 'z'},
    {"time", 1, 't'},
    {"debug", 1, 'd'},
    {"version", 0, 'V'},
    {"help", 0, 'h'},
    {"help", 0, '?'},
    {"output", 1, 'o'},
    {"logfile", 1, 'l'},
    {"wait", 1, 'w'},
    {"retry", 1, 'r'},
    {"classic", 0, 'c'},
    {"net-bo-port", 1, kOptNetBoPort},
    {"net-ro-port", 1, kOptNetRoPort},
    {"net-bind-address", 1, kOptNetBindAddress},
    {nullptr, 0, 0},
};

/// samp_rate_from_text results besides 0.
inline constexpr int kSampRateFormat = -1;  ///< not a number, or a suffix other than k or M
inline constexpr int kSampRateRange = -2;   ///< outside 2000000..3200000 Hz

/// The sample rate of `text`: "2400000", "2400k" or "2.4M" (the value goes
/// through single precision; the M form has kilohertz resolution). Returns 0
/// with `*rate` set, kSampRateFormat, or kSampRateRange with the value in
/// `*hz`. The service's -s and the recorder's take the same forms.
int samp_rate_from_text(const char* text, uint32_t* rate, double* hz);

/// A TCP port as the listening outputs take it: decimal digits only,
/// 1..65535. 0 for anything else (empty, text, a sign, out of range).
uint16_t listen_port_from_text(const char* text);

/// argv[0] as the process received it; the empty text before start-up.
extern const char* prog_name;

/// Fills ctx from the command line (ctx holds its defaults); returns when
/// every argument is examined or after a lone "-". Every error ends the
/// process through print_usage; -V prints the version line and exits 0.
void parse_args(Context* ctx, int argc, char** argv);

/// Prints "<prog_name>: " and the formatted message (when fmt is not null),
/// then the usage text, to standard error; exits with status 1.
[[noreturn]] void print_usage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
