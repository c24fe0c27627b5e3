#include "tftp/packets.h"

#include <cstdio>
#include <cstring>

#include "common/bytes.h"

namespace qvr {

DatagramReader make_reader(std::span<const std::uint8_t> bytes) { return DatagramReader{bytes, 0, false}; }

std::uint16_t read_u16(DatagramReader& reader) {
    if (reader.failed || reader.bytes.size() - reader.position < 2) {
        reader.failed = true;
        return 0;
    }
    std::uint16_t value = get_u16_be(reader.bytes.data() + reader.position);
    reader.position += 2;
    return value;
}

std::string_view read_text(DatagramReader& reader) {
    if (reader.failed) return {};
    const std::uint8_t* start = reader.bytes.data() + reader.position;
    std::size_t left = reader.bytes.size() - reader.position;
    const void* nul = left ? std::memchr(start, 0, left) : nullptr;
    if (nul == nullptr) {
        reader.failed = true;
        return {};
    }
    std::size_t n = static_cast<std::size_t>(static_cast<const std::uint8_t*>(nul) - start);
    reader.position += n + 1;
    return {reinterpret_cast<const char*>(start), n};
}

TftpPacket parse_tftp_packet(std::span<const std::uint8_t> datagram) {
    TftpPacket packet{0, 0, {}, false};
    DatagramReader reader = make_reader(datagram);
    packet.opcode = read_u16(reader);
    if (reader.failed) return packet;
    if (packet.opcode == TFTP_ACK) {
        packet.block = read_u16(reader);
    } else if (packet.opcode == TFTP_RRQ) {
        packet.file_name = read_text(reader);
    }
    packet.well_formed = !reader.failed;
    return packet;
}

std::size_t build_option_ack(std::uint8_t* buffer, std::size_t capacity, std::uint32_t image_size) {
    char digits[16];
    int n = std::snprintf(digits, sizeof digits, "%u", static_cast<unsigned>(image_size));
    const std::string_view parts[] = {"tsize", {digits, static_cast<std::size_t>(n)}, "timeout",
                                      tftp_timeout_option};
    std::size_t length = 2;
    for (std::string_view part : parts) length += part.size() + 1;
    if (length > capacity) return 0;
    put_u16_be(buffer, TFTP_OACK);
    std::size_t at = 2;
    for (std::string_view part : parts) {
        std::memcpy(buffer + at, part.data(), part.size());
        at += part.size();
        buffer[at++] = 0;
    }
    return length;
}

std::size_t build_data_block(std::uint8_t* buffer, std::size_t capacity, const std::uint8_t* data,
                             std::size_t length, std::uint32_t block_number) {
    if (length > tftp_block_size || capacity < 4 + length) return 0;
    put_u16_be(buffer, TFTP_DATA);
    put_u16_be(buffer + 2, block_number);
    if (length) std::memcpy(buffer + 4, data, length);
    return 4 + length;
}

}  // namespace qvr
