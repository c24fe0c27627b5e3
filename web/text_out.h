// Bounded composition of a text into a caller's buffer.
//
// Every piece goes through append_text, which never writes past the buffer
// and keeps a NUL after the last character.  A piece that does not fit
// whole is not written at all and marks the text as cut, so a caller
// learns once, at the end, whether it holds the complete text and never
// sends half a header line.
#pragma once

#include <cstddef>
#include <cstring>
#include <string_view>

namespace qvr {

struct TextOut {
    char* data;
    std::size_t size;    // bytes at data, the terminating NUL included
    std::size_t length;  // characters written so far
    bool cut;            // a piece did not fit; the text is incomplete
};

// Starts an empty text in size bytes at data (size 0 holds nothing, not
// even the NUL, and every append then cuts).
inline TextOut text_out(char* data, std::size_t size) {
    if (size != 0) data[0] = '\0';
    return TextOut{data, size, 0, false};
}

inline void append_text(TextOut& out, std::string_view text) {
    if (out.cut || out.size == 0 || text.size() > out.size - 1 - out.length) {
        out.cut = true;
        return;
    }
    if (!text.empty()) std::memcpy(out.data + out.length, text.data(), text.size());
    out.length += text.size();
    out.data[out.length] = '\0';
}

}  // namespace qvr
