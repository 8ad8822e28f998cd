#include "sdr/log.h"

#include <errno.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

constinit FILE* log_stream = nullptr;
constinit int debug_mask = 1;

namespace {

// The severity functions format into 1024 bytes on the stack; the message is
// cut to 1022 characters.
constexpr int kMessageBuffer = 1024;
constexpr int kMessageMax = 1022;

// Lines that could not be written since the last line about them.
constinit uint32_t lost_lines = 0;

FILE* out_stream() { return log_stream ? log_stream : stderr; }

/// Writes one piece of the log with one write() to the stream's
/// descriptor: a piece that cannot be written is counted and dropped,
/// never kept for a retry (a stdio buffer would write it again with the
/// next piece, to a stream that is gone).
void emit(const char* text, size_t len) {
    FILE* f = out_stream();
    const int fd = fileno(f);
    if (fd < 0) {  // a stream without a descriptor (memory): stdio it is
        if (fwrite(text, 1, len, f) != len || fflush(f) != 0) lost_lines++;
        clearerr(f);
        return;
    }
    (void)fflush(f);  // anything written to it through stdio goes first
    size_t done = 0;
    while (done < len) {
        const ssize_t n = write(fd, text + done, len - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            lost_lines++;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

void print_severity(const char* prefix, const char* fmt, va_list ap) {
    char text[kMessageBuffer];
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    vsnprintf(text, kMessageMax + 1, fmt, ap);
#pragma GCC diagnostic pop
    char line[kMessageBuffer + 16];
    const int n = snprintf(line, sizeof line, "%s - %s\n", prefix, text);
    emit(line, static_cast<size_t>(n < static_cast<int>(sizeof line) ? n : sizeof line - 1));
}

}  // namespace

int log_debug(int mask, const char* fmt, ...) {
    if ((mask & debug_mask) == 0) return 0;
    char text[kMessageBuffer * 4];
    va_list ap;
    va_start(ap, fmt);
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
    int n = vsnprintf(text, sizeof text, fmt, ap);
#pragma GCC diagnostic pop
    va_end(ap);
    if (n < 0) return 0;
    if (n >= static_cast<int>(sizeof text)) n = static_cast<int>(sizeof text) - 1;
    emit(text, static_cast<size_t>(n));
    return n;
}

void log_hex(int mask, const uint8_t* bytes, int count, const char* fmt) {
    if ((mask & debug_mask) == 0) return;
    char text[kMessageBuffer * 4];
    size_t len = 0;
    for (int i = 0; i < count && len + 16 < sizeof text; i++) {
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
        const int n = snprintf(text + len, sizeof text - len, fmt, static_cast<unsigned>(bytes[i]));
#pragma GCC diagnostic pop
        if (n > 0) len += static_cast<size_t>(n) < sizeof text - len ? static_cast<size_t>(n) : 0;
    }
    text[len++] = '\n';
    emit(text, len);
}

void log_lost_report() {
    if (lost_lines == 0) return;
    const uint32_t lost = lost_lines;
    char line[128];
    const int n = snprintf(line, sizeof line,
                           "Warning - %u log lines could not be written (the log stream failed) "
                           "and were dropped\n",
                           lost);
    emit(line, static_cast<size_t>(n));
    if (lost_lines == lost) lost_lines = 0;  // written: they are told
}

uint32_t log_lost_lines() {
    return lost_lines;
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
