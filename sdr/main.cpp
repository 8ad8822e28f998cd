#include "sdr/vorlix.h"

int main(int argc, char** argv) { return vorlix_main(argc, argv); }
