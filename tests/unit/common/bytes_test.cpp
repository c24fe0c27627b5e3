#include "common/bytes.h"

#include <gtest/gtest.h>

namespace qvr {
namespace {

// Block numbers and opcodes on the wire: the low 16 bits, high byte first,
// read back unsigned.
TEST(Bytes, SixteenBitFieldsHighByteFirst) {
    std::uint8_t b[3] = {0xAA, 0xAA, 0xAA};
    put_u16_be(b, 0x12345678u);  // only the low 16 bits go out
    EXPECT_EQ(b[0], 0x56);
    EXPECT_EQ(b[1], 0x78);
    EXPECT_EQ(b[2], 0xAA) << "wrote past its two bytes";
    put_u16_be(b, 65536u + 1u);  // block 65,537 wraps to 1 on the wire
    EXPECT_EQ(get_u16_be(b), 1);
    const std::uint8_t ack_block_65535[] = {0xFF, 0xFF};
    EXPECT_EQ(get_u16_be(ack_block_65535), 65535);  // not sign-extended
    const std::uint8_t opcode_oack[] = {0x00, 0x06};
    EXPECT_EQ(get_u16_be(opcode_oack), 6);
}

}  // namespace
}  // namespace qvr
