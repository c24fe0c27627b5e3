// Fuzz target: any bytes as a received page, through the label extraction
// and the challenge test.  A label that is found gives a NUL-terminated
// value of at most 127 characters, without "<", taken from the text after
// the label; a label that is not found leaves every byte of its field as it
// was (here: unterminated filler, which nothing may read or extend).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/identity.h"
#include "web/http_exchange.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string_view labels[] = {"Product Name:", "MAC Address:", "Software Version:", "Hardware Version:",
                                       "Serial Number:", ">", "<", ""};
    for (std::string_view label : labels) {
        char field[qvr::identity_field_size];
        std::memset(field, 0x55, sizeof field);
        if (!qvr::extract_labelled_value(text, label, field)) {
            for (char c : field)
                if (c != 0x55) std::abort();
            continue;
        }
        const char* end = static_cast<const char*>(std::memchr(field, '\0', sizeof field));
        if (end == nullptr) std::abort();
        std::string_view value(field, static_cast<std::size_t>(end - field));
        std::size_t at = text.find(label);
        if (value.find('<') != std::string_view::npos) std::abort();
        if (!value.empty() && text.find(value, at + label.size()) == std::string_view::npos) std::abort();
    }

    qvr::IdentityFields identity{};
    qvr::extract_identity(text, identity);
    qvr::DigestState state{};
    qvr::read_digest_challenge(text, state);
    return 0;
}
