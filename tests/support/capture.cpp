#include "tests/support/capture.h"

void append_le32(std::string* s, uint32_t v) {
    for (int i = 0; i < 4; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

void append_le64(std::string* s, uint64_t v) {
    for (int i = 0; i < 8; i++) s->push_back(static_cast<char>(v >> (8 * i)));
}

std::string capture_probe(bool timestamped, uint8_t fill) {
    std::string s(kBlockBytes, static_cast<char>(fill));
    if (timestamped) {
        std::string magic;
        append_le32(&magic, kCaptureMagic);
        s.replace(0, 4, magic);
    }
    return s;
}

std::string capture_block(uint8_t fill) {
    return std::string(kBlockBytes, static_cast<char>(fill));
}

std::string capture_header(uint64_t time_ns, uint32_t length, uint32_t magic) {
    std::string s;
    append_le32(&s, magic);
    append_le64(&s, time_ns);
    append_le32(&s, length);
    return s;
}

std::string capture_record(uint64_t time_ns, uint32_t length, uint32_t magic,
                           const std::string& data) {
    return capture_header(time_ns, length, magic) + (data.empty() ? capture_block() : data);
}

std::string raw_capture(int blocks) {
    std::string s = capture_probe(false);
    for (int i = 0; i < blocks; i++) s += capture_block();
    return s;
}

std::string timestamped_capture(int records, uint64_t first_ns, uint64_t step_ns) {
    std::string s = capture_probe(true);
    for (int i = 0; i < records; i++)
        s += capture_record(first_ns + static_cast<uint64_t>(i) * step_ns);
    return s;
}
