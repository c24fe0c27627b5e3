#include "recovery/messages.h"

#include <cstring>

#include "common/bytes.h"
#include "common/text.h"

namespace qvr {

RecoveryMessage make_recovery_message(RecoveryMessageType type, std::string_view serial_number,
                                      std::uint16_t tftp_port, std::string_view file_name) {
    RecoveryMessage m;
    std::memset(&m, 0, sizeof m);
    m.type = type;
    // copy_text cuts and terminates; the rest of each field stays zero.
    copy_text(m.serial_number, serial_number.substr(0, serial_number.find('\0')));
    if (type == RECOVERY_UPGRADE) {
        put_u16_be(m.tftp_port, tftp_port);
        copy_text(m.file_name, file_name.substr(0, file_name.find('\0')));
    }
    return m;
}

void normalise_serial_number(char (&entry)[recovery_serial_size], std::string_view typed) {
    copy_text(entry, typed.substr(0, typed.find('\0')));
    for (char& c : entry)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
}

std::uint32_t reply_device_address(const RecoveryReply& reply) {
    const std::uint8_t* a = reply.address;
    return (std::uint32_t{a[0]} << 24) | (std::uint32_t{a[1]} << 16) | (std::uint32_t{a[2]} << 8) | a[3];
}

void format_mac_hex(const std::uint8_t* bytes, std::size_t count, char* text, std::size_t capacity) {
    if (capacity == 0) return;
    static constexpr char digits[] = "0123456789ABCDEF";
    std::size_t at = 0;
    for (std::size_t i = 0; i < count && at + 2 < capacity; ++i) {
        text[at++] = digits[bytes[i] >> 4];
        text[at++] = digits[bytes[i] & 0x0F];
    }
    text[at] = '\0';
}

void copy_reply_identity(const RecoveryReply& reply, IdentityFields& identity) {
    copy_text(identity.serial_number, field_text(reply.serial_number));
    copy_text(identity.product_name, field_text(reply.product_name));
    copy_text(identity.software_version, field_text(reply.software_version));
    copy_text(identity.hardware_version, field_text(reply.hardware_version));
    format_mac_hex(reply.mac_address, mac_byte_count, identity.mac_address, sizeof identity.mac_address);
}

bool reply_names_serial(const RecoveryReply& reply, const RecoveryMessage& message) {
    return field_text(reply.serial_number) == field_text(message.serial_number);
}

const char* unusable_device_address(std::uint32_t address, std::uint32_t pc_address) {
    const unsigned top = address >> 24;
    if (address == 0) return "no address";
    if (top == 0) return "an address of the 0.0.0.0/8 block, which names no host";
    if (top >= 224 && top <= 239) return "a multicast address";
    if (address == 0xFFFFFFFFu) return "the broadcast address";
    if (top >= 240) return "a reserved address (240.0.0.0/4)";
    if (top == 127 && (pc_address >> 24) != 127) return "a loopback address, which would be this computer";
    return nullptr;
}

}  // namespace qvr
