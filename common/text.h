// Fixed-size text fields holding NUL-terminated byte strings.
//
// A field of width w holds at most w - 1 characters.  Every copy into a
// field goes through copy_text, which always terminates and never writes
// past the field; the caller learns whether the whole text fitted and
// decides on purpose what a cut means.
#pragma once

#include <array>
#include <cstddef>
#include <cstring>
#include <string_view>

namespace qvr {

// Copies src into dst (width size, size >= 1), cutting it to size - 1
// characters if needed.  Returns true when nothing was cut.
inline bool copy_text(char* dst, std::size_t size, std::string_view src) {
    if (size == 0) return src.empty();
    std::size_t n = src.size() < size - 1 ? src.size() : size - 1;
    if (n) std::memcpy(dst, src.data(), n);
    dst[n] = '\0';
    return n == src.size();
}

template <std::size_t N>
inline bool copy_text(std::array<char, N>& dst, std::string_view src) {
    return copy_text(dst.data(), N, src);
}

template <std::size_t N>
inline bool copy_text(char (&dst)[N], std::string_view src) {
    return copy_text(dst, N, src);
}

// The text held in a field, up to its NUL or the end of the field.
template <std::size_t N>
inline std::string_view field_text(const std::array<char, N>& field) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return {field.data(), n};
}

template <std::size_t N>
inline std::string_view field_text(const char (&field)[N]) {
    std::size_t n = 0;
    while (n < N && field[n] != '\0') ++n;
    return {field, n};
}

}  // namespace qvr
