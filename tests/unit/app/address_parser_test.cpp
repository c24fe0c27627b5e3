#include "app/address_parser.h"

#include <gtest/gtest.h>

namespace qvr {
namespace {

std::uint32_t parsed(const char* text) {
    std::uint32_t address = 0xDEADBEEF;
    EXPECT_EQ(parse_device_address(text, address), ADDRESS_OK) << text;
    return address;
}

TEST(AddressParser, DotsStarsAndEmptyPartsAreOneDelimiter) {
    EXPECT_EQ(parsed("10.1.0.13"), 0x0A01000Du);
    EXPECT_EQ(parsed("10*1*0*13"), 0x0A01000Du);
    EXPECT_EQ(parsed("10..1.0.13"), 0x0A01000Du);
    EXPECT_EQ(parsed("1.2.3.4."), 0x01020304u);
    EXPECT_EQ(parsed(".1.2.3.4."), 0x01020304u);
    EXPECT_EQ(parsed("010.001.000.013"), 0x0A01000Du);  // leading zeros, 15 characters
    EXPECT_EQ(parsed("255.255.255.255"), 0xFFFFFFFFu);
}

TEST(AddressParser, EachRefusalHasItsCodeAndZeroResult) {
    struct Case {
        const char* text;
        AddressParse code;
    } cases[] = {
        {"1.2.3.4.5", ADDRESS_TOO_MANY_PARTS},
        {"10.20.30", ADDRESS_TOO_FEW_PARTS},
        {"256.1.1.1", ADDRESS_PART_OUT_OF_RANGE},
        {"1.2.3.999", ADDRESS_PART_OUT_OF_RANGE},
        {"1.2.3.a", ADDRESS_BAD_CHARACTER},
        {"1.2.3.-4", ADDRESS_BAD_CHARACTER},
        {"1.2.34", ADDRESS_BAD_LENGTH},
        {"1111.2222.33333", ADDRESS_PART_OUT_OF_RANGE},
        {"1.2.3.4........", ADDRESS_OK},
        {"1.2.3.4.........", ADDRESS_BAD_LENGTH},
        {".......", ADDRESS_TOO_FEW_PARTS},
        {"", ADDRESS_BAD_LENGTH},
    };
    for (const Case& c : cases) {
        std::uint32_t address = 0xDEADBEEF;
        EXPECT_EQ(parse_device_address(c.text, address), c.code) << c.text;
        if (c.code != ADDRESS_OK) EXPECT_EQ(address, 0u) << c.text;
    }
}

// Many digits in one part must not wrap round into range.
TEST(AddressParser, LongPartDoesNotOverflowIntoRange) {
    std::uint32_t address = 1;
    EXPECT_EQ(parse_device_address("4294967297.1.1", address), ADDRESS_PART_OUT_OF_RANGE);
    EXPECT_EQ(parse_device_address("000000000001.1", address), ADDRESS_TOO_FEW_PARTS);
}

TEST(AddressParser, AllZeroParsesToTheRefusedZero) {
    std::uint32_t address = 1;
    EXPECT_EQ(parse_device_address("0.0.0.0", address), ADDRESS_OK);
    EXPECT_EQ(address, 0u);  // the dialog refuses 0 like a malformed text
}

}  // namespace
}  // namespace qvr
