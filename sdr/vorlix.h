// The driver: start-up, the command line, and the attempt loop over the
// capture input (raw blocks or time-stamped records).
#pragma once

#include "include/context.h"

/// argv[0] as the process received it; the empty text before start-up.
extern const char* prog_name;

/// Fills ctx from the command line (ctx holds its defaults); returns when
/// every argument is examined or after a lone "-". Every error ends the
/// process through print_usage; -V prints the version line and exits 0.
void parse_args(Context* ctx, int argc, char** argv);

/// Prints "<prog_name>: " and the formatted message (when fmt is not null),
/// then the usage text, to standard error; exits with status 1.
[[noreturn]] void print_usage(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

/// The program's entry point; returns the exit status (0 when the retry
/// count is used up).
int vorlix_main(int argc, char** argv);
