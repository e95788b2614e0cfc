// The harness's pure helpers: the checksum and the texts that failure messages and expected
// outputs are built from.

#include "harness.h"

#include <cstdio>

namespace e2e {

std::uint32_t link_crc(const std::uint8_t* bytes, std::size_t length) {
    static std::uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            table[i] = c;
        }
        ready = true;
    }
    std::uint32_t crc = 0;
    for (std::size_t i = 0; i < length; ++i)
        crc = (crc >> 8) ^ table[(crc ^ bytes[i]) & 0xFF];
    return crc;
}

std::string printable(const std::string& text) {
    std::string shown;
    for (const char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            shown += "\\n\n";
        } else if (c == static_cast<unsigned char>(hex_wild)) {
            shown += '?';
        } else if (c < 0x20 || c > 0x7E) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\x%02X", c);
            shown += escape;
        } else {
            shown += static_cast<char>(c);
        }
    }
    return shown;
}

std::string pattern_mismatch(const std::string& actual, const std::string& pattern) {
    std::size_t i = 0;
    for (; i < actual.size() && i < pattern.size(); ++i) {
        char a = actual[i];
        char p = pattern[i];
        bool hex = (a >= '0' && a <= '9') || (a >= 'A' && a <= 'F');
        if (p == hex_wild ? !hex : a != p)
            break;
    }
    if (i == actual.size() && i == pattern.size())
        return {};
    std::size_t from = i > 200 ? i - 200 : 0;
    return "output parts from the expected text at byte " + std::to_string(i) +
           "\n--- expected (from byte " + std::to_string(from) + ") ---\n" +
           printable(pattern.substr(from, 400)) + "\n--- actual ---\n" +
           printable(actual.substr(from, 400)) + "\n--- end ---";
}

std::vector<std::string> split_lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < text.size()) {
        auto end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return lines;
}

std::string banner() {
    return "        Satellite receiver upgrader V1.1\n\n";
}

std::string settings_report(const char* port, int speed, unsigned block_size) {
    char text[200];
    std::snprintf(text, sizeof text, "port : %s\nbaud rate = %d00\nblock size = %u\n", port, speed,
                  block_size);
    return text;
}

} // namespace e2e
