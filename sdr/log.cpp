#include "sdr/log.h"

#include <cstdarg>
#include <cstdlib>

constinit FILE* log_stream = nullptr;
constinit int debug_mask = 1;

namespace {

// The severity functions format into 1024 bytes on the stack; the message is
// cut to 1022 characters.
constexpr int kMessageBuffer = 1024;
constexpr int kMessageMax = 1022;

FILE* out_stream() { return log_stream ? log_stream : stderr; }

void print_severity(const char* prefix, const char* fmt, va_list ap) {
    char text[kMessageBuffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(text, kMessageMax + 1, fmt, ap);
#pragma GCC diagnostic pop
    FILE* f = out_stream();
    fprintf(f, "%s - %s\n", prefix, text);
    fflush(f);
}

}  // namespace

int log_debug(int mask, const char* fmt, ...) {
    if ((mask & debug_mask) == 0) return 0;
    FILE* f = out_stream();
    va_list ap;
    va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vfprintf(f, fmt, ap);
#pragma GCC diagnostic pop
    va_end(ap);
    fflush(f);
    return n < 0 ? 0 : n;
}

void log_hex(int mask, const uint8_t* bytes, int count, const char* fmt) {
    if ((mask & debug_mask) == 0) return;
    FILE* f = out_stream();
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    for (int i = 0; i < count; i++) fprintf(f, fmt, static_cast<unsigned>(bytes[i]));
#pragma GCC diagnostic pop
    fputc('\n', f);
    fflush(f);
}

void log_fatal(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_severity("Fatal", fmt, ap);
    va_end(ap);
    exit(1);
}

void log_warning(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_severity("Warning", fmt, ap);
    va_end(ap);
}

void log_info(const char* fmt, ...) {
    va_list ap;
    va_start(ap, fmt);
    print_severity("Info", fmt, ap);
    va_end(ap);
}
