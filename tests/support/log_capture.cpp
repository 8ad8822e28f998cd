#include "tests/support/log_capture.h"

#include <unistd.h>

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

std::string stderr_of(const std::function<void()>& fn) {
    FILE* tmp = tmpfile();
    fflush(stderr);
    int saved = dup(2);
    dup2(fileno(tmp), 2);
    fn();
    fflush(stderr);
    dup2(saved, 2);
    close(saved);
    std::string s;
    rewind(tmp);
    for (int ch; (ch = fgetc(tmp)) != EOF;) s.push_back(static_cast<char>(ch));
    fclose(tmp);
    return s;
}
