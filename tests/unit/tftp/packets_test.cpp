// TFTP packets: the bytes we send and what we read from the bytes we get.
#include "tftp/packets.h"

#include <gtest/gtest.h>

#include <vector>

namespace qvr {
namespace {

// The sample image's OACK and a DATA block; no packet where the buffer or
// the block limit leaves no room for it.
TEST(TftpPackets, OptionAckAndDataBlockOnTheWire) {
    const std::vector<std::uint8_t> oack = {
        0x00, 0x06,                               // OACK
        't', 's', 'i', 'z', 'e', 0x00,            // option "tsize"
        '4', '3', '0', '9', '4', '9', '1', 0x00,  // the image size in decimal
        't', 'i', 'm', 'e', 'o', 'u', 't', 0x00,  // option "timeout"
        '5', 0x00,                                // 5 seconds
    };
    const std::vector<std::uint8_t> data = {
        0x00, 0x03,        // DATA
        0x20, 0xE1,        // block 8417
        0xAA, 0xBB, 0xCC,  // data
    };
    std::uint8_t b[tftp_receive_size];
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + build_option_ack(b, sizeof b, 4309491)), oack);
    EXPECT_EQ(std::vector<std::uint8_t>(b, b + build_data_block(b, sizeof b, &data[4], 3, 8417)), data);
    EXPECT_EQ(build_option_ack(b, 26, 4309491), 26u) << "fits exactly";
    EXPECT_EQ(build_option_ack(b, 25, 4309491), 0u);
    EXPECT_EQ(build_data_block(b, 7, &data[4], 3, 1), 7u) << "fits exactly";
    EXPECT_EQ(build_data_block(b, 6, &data[4], 3, 1), 0u);
    EXPECT_EQ(build_data_block(b, sizeof b, nullptr, 0, 3), 4u) << "an empty last block";
    EXPECT_EQ(build_data_block(b, sizeof b, b, 513, 1), 0u) << "longer than a block";
}

// Each datagram is exactly as long as its vector, so AddressSanitizer sees
// any read past its end.
TEST(TftpPackets, ReadsOnlyWhatIsThere) {
    const struct {
        std::vector<std::uint8_t> bytes;
        bool well_formed;
        std::uint16_t opcode, block;
        std::string_view name;
    } cases[] = {
        {{0x00, 0x01,                                                          // RRQ
          '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1', 0x00,    // file name
          'o', 'c', 't', 'e', 't', 0x00,                                       // mode, not read
          'b', 'l', 'k', 's', 'i', 'z', 'e', 0x00, '1', '4', '6', '8', 0x00},  // an option, not read
         true, TFTP_RRQ, 0, "/qvr1a2b.bi1"},
        {{0x00, 0x01,                                                   // RRQ
          '/', 'q', 'v', 'r', '1', 'a', '2', 'b', '.', 'b', 'i', '1'},  // the name without its NUL
         false, TFTP_RRQ, 0, ""},
        {{0x00, 0x04,   // ACK
          0x01, 0x00},  // block 256
         true, TFTP_ACK, 256, ""},
        {{0x00, 0x04,  // ACK
          0x00},       // half a block number
         false, TFTP_ACK, 0, ""},
        {{0x00}, false, 0, 0, ""},  // half an opcode
        {{}, false, 0, 0, ""},
    };
    for (const auto& c : cases) {
        TftpPacket p = parse_tftp_packet(c.bytes);
        EXPECT_EQ(p.well_formed, c.well_formed) << "datagram of " << c.bytes.size() << " bytes";
        EXPECT_EQ(p.opcode, c.opcode) << c.bytes.size();
        EXPECT_EQ(p.block, c.block) << c.bytes.size();
        EXPECT_EQ(p.file_name, c.name) << c.bytes.size();
    }
    const std::vector<std::uint8_t> no_nul = {'a', 'b'};
    DatagramReader r = make_reader(no_nul);
    EXPECT_EQ(read_text(r), "");
    EXPECT_EQ(read_u16(r), 0) << "a failed reader reads nothing more, even bytes that are there";
}

}  // namespace
}  // namespace qvr
