#include "app/address_parser.h"

#include <gtest/gtest.h>

namespace qvr {
namespace {

TEST(AddressParser, EachTextItsCodeAndAddress) {
    const struct {
        const char* text;
        AddressParse code;
        std::uint32_t address;  // 0 after every refusal
    } cases[] = {
        // Dots, stars and empty parts are one delimiter.
        {"10.1.0.13", ADDRESS_OK, 0x0A01000Du},
        {"10*1*0*13", ADDRESS_OK, 0x0A01000Du},
        {"10..1.0.13", ADDRESS_OK, 0x0A01000Du},
        {".1.2.3.4.", ADDRESS_OK, 0x01020304u},
        {"010.001.000.013", ADDRESS_OK, 0x0A01000Du},  // leading zeros, 15 characters
        {"255.255.255.255", ADDRESS_OK, 0xFFFFFFFFu},
        {"0.0.0.0", ADDRESS_OK, 0},  // the dialog refuses 0 like a malformed text
        {"1.2.3.4........", ADDRESS_OK, 0x01020304u},
        {"1.2.3.4.........", ADDRESS_BAD_LENGTH, 0},
        {"", ADDRESS_BAD_LENGTH, 0},
        {"1.2.34", ADDRESS_BAD_LENGTH, 0},
        {"1.2.3.4.5", ADDRESS_TOO_MANY_PARTS, 0},
        {"10.20.30", ADDRESS_TOO_FEW_PARTS, 0},
        {".......", ADDRESS_TOO_FEW_PARTS, 0},
        {"000000000001.1", ADDRESS_TOO_FEW_PARTS, 0},
        {"256.1.1.1", ADDRESS_PART_OUT_OF_RANGE, 0},
        {"1.2.3.999", ADDRESS_PART_OUT_OF_RANGE, 0},
        {"1111.2222.33333", ADDRESS_PART_OUT_OF_RANGE, 0},
        {"4294967297.1.1", ADDRESS_PART_OUT_OF_RANGE, 0},  // many digits must not wrap round into range
        {"1.2.3.a", ADDRESS_BAD_CHARACTER, 0},
        {"1.2.3.-4", ADDRESS_BAD_CHARACTER, 0},
    };
    for (const auto& c : cases) {
        std::uint32_t address = 0xDEADBEEF;
        EXPECT_EQ(parse_device_address(c.text, address), c.code) << c.text;
        EXPECT_EQ(address, c.address) << c.text;
    }
}

}  // namespace
}  // namespace qvr
