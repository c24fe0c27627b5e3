// Text as a JSON string, for the programs and tools that print JSON, and
// the UTF-8 reading that it and the terminal's escaping share.
#pragma once

#include <cstddef>
#include <cstdio>
#include <string>
#include <string_view>

namespace qvr {

// The length (2 to 4) of the well-formed UTF-8 sequence of more than one
// byte that starts at text[at], or 0 when none does there: a lone
// continuation byte, a sequence cut short, an overlong form, a surrogate
// (U+D800..U+DFFF) or a code point above U+10FFFF is not one (RFC 3629).
inline std::size_t utf8_sequence_length(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) -> unsigned { return at + i < text.size() ? static_cast<unsigned char>(text[at + i]) : 0u; };
    auto tail = [&](std::size_t i) { return (byte(i) & 0xC0u) == 0x80u; };
    const unsigned lead = byte(0);
    if (lead >= 0xC2 && lead <= 0xDF) return tail(1) ? 2 : 0;
    if (lead >= 0xE0 && lead <= 0xEF) {
        const unsigned second = byte(1);
        const bool ok = lead == 0xE0 ? second >= 0xA0 && second <= 0xBF
                        : lead == 0xED ? second >= 0x80 && second <= 0x9F
                                       : tail(1);
        return ok && tail(2) ? 3 : 0;
    }
    if (lead >= 0xF0 && lead <= 0xF4) {
        const unsigned second = byte(1);
        const bool ok = lead == 0xF0 ? second >= 0x90 && second <= 0xBF
                        : lead == 0xF4 ? second >= 0x80 && second <= 0x8F
                                       : tail(1);
        return ok && tail(2) && tail(3) ? 4 : 0;
    }
    return 0;
}

// True when the two bytes at text[at] are a C1 control (U+0080..U+009F)
// written in UTF-8.
inline bool utf8_c1_control(std::string_view text, std::size_t at) {
    return at + 1 < text.size() && static_cast<unsigned char>(text[at]) == 0xC2 &&
           static_cast<unsigned char>(text[at + 1]) <= 0x9F;
}

// Quotes and escapes `text`, read as UTF-8.  Valid UTF-8 is kept as it is
// but for the controls: C0, DEL and the C1 code points are written as
// \u00XX (the value is kept, only its spelling changes).  A byte that is
// not part of valid UTF-8 is written as \u00XX of the byte (its Latin-1
// reading), so a device's field that holds any bytes at all still gives
// valid JSON and no byte is lost.
inline std::string json_string(std::string_view text) {
    std::string out = "\"";
    auto escape = [&out](unsigned code) {
        char text_escape[8];
        std::snprintf(text_escape, sizeof text_escape, "\\u%04x", code);
        out += text_escape;
    };
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            ++i;
        } else if (c < 0x20 || c == 0x7F) {
            escape(c);
            ++i;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            ++i;
        } else if (utf8_c1_control(text, i)) {
            escape(static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else if (std::size_t n = utf8_sequence_length(text, i); n != 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            escape(c);
            ++i;
        }
    }
    return out + "\"";
}

}  // namespace qvr
