#include "app/address_parser.h"

namespace qvr {

AddressParse parse_device_address(std::string_view text, std::uint32_t& result) {
    result = 0;
    if (text.size() > 15 || text.size() < 7) return ADDRESS_BAD_LENGTH;
    for (char c : text)
        if (!(c >= '0' && c <= '9') && c != '.' && c != '*') return ADDRESS_BAD_CHARACTER;

    std::uint32_t bytes[4] = {};
    unsigned parts = 0;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] == '.' || text[i] == '*') {
            ++i;  // delimiters at the ends and empty parts are skipped
            continue;
        }
        if (parts == 4) return ADDRESS_TOO_MANY_PARTS;
        std::uint32_t value = 0;
        for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
            value = value * 10 + static_cast<std::uint32_t>(text[i] - '0');
            if (value > 255) value = 256;  // at most 15 digits: stay clear of overflow
        }
        if (value > 255) return ADDRESS_PART_OUT_OF_RANGE;
        bytes[parts++] = value;
    }
    if (parts < 4) return ADDRESS_TOO_FEW_PARTS;
    result = (bytes[0] << 24) | (bytes[1] << 16) | (bytes[2] << 8) | bytes[3];
    return ADDRESS_OK;
}

}  // namespace qvr
