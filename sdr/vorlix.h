// The driver: start-up, the attempt loop over the capture input.
#pragma once

/// The program's entry point; returns the exit status.
int vorlix_main(int argc, char** argv);
