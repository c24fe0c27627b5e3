// The recovery exchange's wire records.
//
// A device whose firmware is corrupt has no web pages and, as far as the
// user knows, no address; it listens on the multicast group 234.4.8.10,
// port 4810, for a message that names its serial number.  The PC sends a
// 160-byte RecoveryMessage from port 4811 and takes the first 100-byte
// datagram that comes back as the device's RecoveryReply.
//
// Both records are plain byte arrays laid end to end, so they have no
// padding and no alignment: the reply's IPv4 address sits at offset 94 and
// is read byte by byte, never through a 32-bit load.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/identity.h"

namespace qvr {

inline constexpr std::uint32_t recovery_group = 0xEA04080Au;  // 234.4.8.10, host order
inline constexpr const char recovery_group_text[] = "234.4.8.10";
inline constexpr std::uint16_t recovery_device_port = 4810;
inline constexpr std::uint16_t recovery_pc_port = 4811;

inline constexpr std::size_t recovery_serial_size = 20;  // at most 19 characters
inline constexpr std::size_t recovery_file_name_size = 128;
inline constexpr std::size_t reply_text_size = 20;  // no NUL when all 20 bytes are text
inline constexpr std::size_t mac_byte_count = 6;

enum RecoveryMessageType : std::uint8_t {
    RECOVERY_DISCOVER = 0,  // find the device with this serial number
    RECOVERY_UPGRADE = 2,   // fetch the named file by TFTP from the sender
};

// "RECM", the 32-bit value 0x5245434D in network byte order.
inline constexpr std::uint8_t recovery_magic[4] = {0x52, 0x45, 0x43, 0x4D};

struct RecoveryMessage {
    std::uint8_t type;
    std::uint8_t reserved1[3];
    std::uint8_t magic[4];
    char serial_number[recovery_serial_size];  // NUL bytes to the field's end
    std::uint8_t tftp_port[2];                 // upgrade: network order; discover: zero
    std::uint8_t reserved2[2];
    char file_name[recovery_file_name_size];   // upgrade: NUL bytes to the end; discover: zero
};
static_assert(sizeof(RecoveryMessage) == 160);
static_assert(offsetof(RecoveryMessage, magic) == 4);
static_assert(offsetof(RecoveryMessage, serial_number) == 8);
static_assert(offsetof(RecoveryMessage, tftp_port) == 28);
static_assert(offsetof(RecoveryMessage, file_name) == 32);

struct RecoveryReply {
    std::uint8_t unread_head[8];
    char serial_number[reply_text_size];
    char product_name[reply_text_size];
    std::uint8_t mac_address[mac_byte_count];
    char software_version[reply_text_size];
    char hardware_version[reply_text_size];
    std::uint8_t address[4];  // network order
    std::uint8_t unread_tail[2];
};
static_assert(sizeof(RecoveryReply) == 100);
static_assert(offsetof(RecoveryReply, serial_number) == 8);
static_assert(offsetof(RecoveryReply, product_name) == 28);
static_assert(offsetof(RecoveryReply, mac_address) == 48);
static_assert(offsetof(RecoveryReply, software_version) == 54);
static_assert(offsetof(RecoveryReply, hardware_version) == 74);
static_assert(offsetof(RecoveryReply, address) == 94);
static_assert(alignof(RecoveryReply) == 1 && alignof(RecoveryMessage) == 1);

// A message with every byte zero but the type, the serial number (cut to 19
// characters), and for an upgrade the TFTP port and the file name (cut to
// 127 characters).  The magic is left zero: recovery_exchange writes it.
RecoveryMessage make_recovery_message(RecoveryMessageType type, std::string_view serial_number,
                                      std::uint16_t tftp_port = 0, std::string_view file_name = {});

// The serial number as the user's entry is kept: ASCII letters in upper
// case (the field converts typed letters, but not pasted or set text), cut
// to 19 characters, NUL-terminated in a 20-byte field.
void normalise_serial_number(char (&entry)[recovery_serial_size], std::string_view typed);

// The reply's device address, host order (0: the device gave none).
std::uint32_t reply_device_address(const RecoveryReply& reply);

// Each of count bytes as two upper-case hex digits, no separators, then a
// NUL: 02 1A 3B 4C 5D 6E gives "021A3B4C5D6E".  Writes nothing past
// capacity: the digits are cut to whole bytes that fit before the NUL.
void format_mac_hex(const std::uint8_t* bytes, std::size_t count, char* text, std::size_t capacity);

// The identity fields as the confirm dialog shows them: each reply text up
// to its first NUL or its 20th byte, the MAC address as 12 hex digits.
void copy_reply_identity(const RecoveryReply& reply, IdentityFields& identity);

// Whether a reply names the serial number the message asked for: the two
// fields' texts (each up to its first NUL or its 20th byte) are equal byte
// for byte.  A device that answers a discovery for its own serial number
// writes that number back; the Windows programs compare nothing and take
// the first reply, the terminal program only one that passes this.
bool reply_names_serial(const RecoveryReply& reply, const RecoveryMessage& message);

// Why a device address read from a reply (host order) is no address to
// send anything to, or nullptr when it is a usable unicast address:
// 0.0.0.0 ("no address"), the rest of 0.0.0.0/8, multicast 224.0.0.0/4,
// the reserved 240.0.0.0/4 with the broadcast 255.255.255.255, and
// loopback 127.0.0.0/8 unless pc_address is a loopback address too: a
// device on loopback can only be one on this host, as the simulated ones
// of the tests are; a real device reporting 127.x.y.z would have the PC
// talk to itself.  A subnet's own broadcast address cannot be told from
// here (the mask is not known) and passes.
const char* unusable_device_address(std::uint32_t address, std::uint32_t pc_address);

}  // namespace qvr
