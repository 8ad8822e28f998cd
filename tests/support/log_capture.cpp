#include "tests/support/log_capture.h"

#include "sdr/log.h"
#include "sdr/log_limit.h"

LogCapture::LogCapture() : file_(tmpfile()) {
    log_stream = file_;
    log_limit_reset();  // every kind of repeating line may be printed again
}

LogCapture::~LogCapture() {
    log_stream = nullptr;
    fclose(file_);
}

std::string LogCapture::text() const {
    fflush(file_);
    rewind(file_);
    std::string s;
    char buf[512];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), file_)) > 0) s.append(buf, n);
    return s;
}
