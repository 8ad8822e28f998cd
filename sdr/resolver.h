// Name resolution off the sample path: getaddrinfo runs in one helper
// thread, which the event loop hears from through a pipe, so an
// unresponsive resolver never stalls decoding. One question is asked at a
// time; a question asked while the thread is still busy with an earlier
// one (for the same destination: the service has one) waits for that
// answer. A numeric address needs no question (resolver_numeric).
#pragma once

#include <cstdint>

struct addrinfo;

/// IPv4 stream addresses of `host`:`port` when the host is a numeric
/// address (no lookup, no waiting); the getaddrinfo result code, or
/// EAI_NONAME when the host is a name. *list gets the result.
int resolver_numeric(const char* host, const char* port, addrinfo** list);

/// Asks the thread for `host`:`port` (copied; IPv4, stream). 0, or -1 when
/// the thread could not be started.
int resolver_ask(const char* host, const char* port);

/// The descriptor that becomes readable when an answer is ready; -1 when
/// no thread runs.
int resolver_fd();

/// Takes the answer when there is one: true with *rc (the getaddrinfo
/// result code) and *list (the caller frees it with freeaddrinfo); false
/// while the thread is busy or nothing was asked.
bool resolver_take(int* rc, addrinfo** list);
