// The parser behind the address dialog: a dotted IPv4 address as a user
// types it into the IP address control.
#pragma once

#include <cstdint>
#include <string_view>

namespace qvr {

enum AddressParse : int {
    ADDRESS_OK = 0,
    ADDRESS_PART_OUT_OF_RANGE = 1,  // a part outside 0..255
    ADDRESS_TOO_MANY_PARTS = 2,
    ADDRESS_TOO_FEW_PARTS = 3,
    ADDRESS_BAD_LENGTH = 4,         // fewer than 7 or more than 15 characters
    ADDRESS_BAD_CHARACTER = 5,      // anything but digits, "." and "*"
};

// Reads text into result (host order, first part most significant; 0 on any
// failure).  "*" counts as a dot, and runs of dots are one delimiter, so
// "10*1*0*13", "10..1.0.13" and ".1.2.3.4." are accepted.  Leading zeros
// are allowed.
AddressParse parse_device_address(std::string_view text, std::uint32_t& result);

}  // namespace qvr
