// The driver: start-up, the command line (sdr/command_line), and the
// attempt loop over the capture input (raw blocks or time-stamped records).
#pragma once

#include "include/context.h"
#include "sdr/command_line.h"

/// The program's entry point; returns the exit status (0 when the retry
/// count is used up).
int vorlix_main(int argc, char** argv);
