// Text as a JSON string, for the programs and tools that print JSON.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

namespace qvr {

// Quotes and escapes `text`.  Its bytes are taken as Latin-1: every control
// character and every byte from 0x7F up is written as \u00XX, so a device's
// field that holds any bytes at all still gives valid JSON.
inline std::string json_string(std::string_view text) {
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7F) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

}  // namespace qvr
