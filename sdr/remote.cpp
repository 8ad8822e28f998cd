#include "sdr/remote.h"

// PLACEHOLDER, replaced by the level-2 link: connects nothing.
ClientConn* init_client(const char*) { return nullptr; }

// PLACEHOLDER, replaced by the level-2 link: sends nothing.
int send_hello(Context*, TimeStamp) { return 0; }

// PLACEHOLDER, replaced by the level-2 link: sends nothing and reports it.
int send_frame(Context*, const uint8_t*, int, const FrameInfo*) { return -1; }

// PLACEHOLDER, replaced by the level-2 link: reads nothing.
int process_frame(Context*, const TimeStamp*) { return 0; }
