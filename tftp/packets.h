// TFTP packets as this server sends and reads them (RFC 1350 with the
// option acknowledgement of RFC 2347).  Pure functions over byte buffers: no
// socket, no clock, so every rule here has a known-answer test.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace qvr {

// Opcodes, 16-bit big-endian at the start of every packet.
inline constexpr std::uint16_t TFTP_RRQ = 1;
inline constexpr std::uint16_t TFTP_WRQ = 2;
inline constexpr std::uint16_t TFTP_DATA = 3;
inline constexpr std::uint16_t TFTP_ACK = 4;
inline constexpr std::uint16_t TFTP_ERROR = 5;
inline constexpr std::uint16_t TFTP_OACK = 6;

inline constexpr std::size_t tftp_block_size = 512;
// One datagram; anything larger is refused by the socket layer unread.
inline constexpr std::size_t tftp_receive_size = 1024;
// Value of the "timeout" option we announce, in seconds.
inline constexpr const char tftp_timeout_option[] = "5";

// A bounded reader over one received datagram.  Reads past the end return
// zero or an empty text and set `failed`, which stays set; nothing ever reads
// beyond the received length.
struct DatagramReader {
    std::span<const std::uint8_t> bytes;
    std::size_t position;
    bool failed;
};

DatagramReader make_reader(std::span<const std::uint8_t> bytes);
std::uint16_t read_u16(DatagramReader& reader);
// The text from the current position up to its NUL, which is consumed.
// Without a NUL before the end: empty, and the reader has failed.
std::string_view read_text(DatagramReader& reader);

// What a received datagram says, as far as this server reads it.  A
// datagram shorter than its opcode has opcode 0.  `well_formed` is false for
// such a runt, for an ACK without its block number, and for an RRQ whose
// file name has no NUL inside the datagram; the server treats those as
// noise.  The RRQ's mode and options are never read: the answer is the same
// whatever the device asks for.
struct TftpPacket {
    std::uint16_t opcode;
    std::uint16_t block;          // ACK only
    std::string_view file_name;   // RRQ only; points into the datagram
    bool well_formed;
};

TftpPacket parse_tftp_packet(std::span<const std::uint8_t> datagram);

// Builds the option acknowledgement: opcode 6, "tsize" with the image size
// in decimal, "timeout" with "5", each text NUL-terminated; 19 bytes plus
// the digits of the size.  Returns the length, or 0 when capacity is short.
std::size_t build_option_ack(std::uint8_t* buffer, std::size_t capacity, std::uint32_t image_size);

// Builds a DATA packet: opcode 3, the low 16 bits of block_number, then
// length bytes of data (at most 512).  Returns 4 + length, or 0 when the
// packet does not fit or the block is too long.
std::size_t build_data_block(std::uint8_t* buffer, std::size_t capacity, const std::uint8_t* data,
                             std::size_t length, std::uint32_t block_number);

}  // namespace qvr
