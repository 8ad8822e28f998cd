#include "sdr/vorlix.h"

// PLACEHOLDER, replaced by the driver.
int vorlix_main(int, char**) { return 0; }
