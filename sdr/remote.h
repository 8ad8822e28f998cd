// The level-2 link to the proxy: connection, outgoing and incoming messages.
#pragma once

#include <cstdint>

#include "include/context.h"

/// The destination that init_client opened.
struct ClientConn {
    int32_t fd;           ///< open descriptor, -1 while none
    int32_t remote_peer;  ///< 1: TCP peer; 0: local file or standard output
    char host[64];        ///< host part of the URL
    char port[8];         ///< port part of the URL, at most 7 characters
};

/// Opens the destination `url` (null: standard output); null when a TCP
/// destination could not be connected.
ClientConn* init_client(const char* url);

/// Sends the HELLO; 0, or -1 when the write failed.
int send_hello(Context* ctx, TimeStamp time);

/// The frame callback: 0 when sent or filtered, -1 when the write failed.
int send_frame(Context* ctx, const uint8_t* frame, int length, const FrameInfo* info);

/// Handles at most one waiting message from the peer; -1 when reading failed.
int process_frame(Context* ctx, const TimeStamp* time);
