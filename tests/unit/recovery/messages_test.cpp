// The recovery records byte by byte, and what the PC takes out of a reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "recovery/messages.h"

namespace qvr {
namespace {

std::string wire(const RecoveryMessage& m) { return std::string(reinterpret_cast<const char*>(&m), sizeof m); }

TEST(RecoveryMessage, FieldsOnTheWire) {
    // A discover carries only its type (0) and the serial number; the magic
    // is written when it is sent.
    EXPECT_EQ(wire(make_recovery_message(RECOVERY_DISCOVER, "AB12", 69, "/ignored")),
              std::string(8, '\0') + "AB12" + std::string(148, '\0'));
    EXPECT_EQ(wire(make_recovery_message(RECOVERY_DISCOVER, "")), std::string(160, '\0'));
    EXPECT_EQ(wire(make_recovery_message(RECOVERY_UPGRADE, "QVR0012345", 0x1234, "/qvr1a2b.bin")),
              std::string("\x02\0\0\0\0\0\0\0", 8) + "QVR0012345" + std::string(10, '\0')  // type, serial number
                  + "\x12\x34" + std::string(2, '\0')                                      // port, network order
                  + "/qvr1a2b.bin" + std::string(116, '\0'));                              // file name
    // Long texts are cut and keep their NUL: 19 characters, 127 characters.
    const std::string m = wire(make_recovery_message(RECOVERY_UPGRADE, std::string(25, 'S'), 69, std::string(200, 'n')));
    EXPECT_EQ(m.substr(8, 20), std::string(19, 'S') + '\0');
    EXPECT_EQ(m.substr(32), std::string(127, 'n') + '\0');
}

TEST(RecoverySerialNumber, TypedTextBecomesUpperCaseAndAtMost19Characters) {
    char entry[recovery_serial_size];
    normalise_serial_number(entry, "ab12cd-x");
    EXPECT_STREQ(entry, "AB12CD-X");
    normalise_serial_number(entry, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_STREQ(entry, "ABCDEFGHIJKLMNOPQRS");
}

TEST(RecoveryReply, TextFieldsAddressAndMac) {
    // Every text field filled to its 20th byte with no NUL, so a reader that
    // runs to the next NUL would take the neighbouring field along.
    std::uint8_t wire[100];
    std::memset(wire, 0xEE, 8);                  // not read
    std::memset(wire + 8, 'S', 20);              // serial number
    std::memset(wire + 28, 'P', 20);             // product name
    const std::uint8_t mac[] = {0x02, 0x1A, 0x3B, 0x4C, 0x5D, 0x6E};
    std::memcpy(wire + 48, mac, 6);              // MAC address
    std::memset(wire + 54, 'V', 20);             // software version
    std::memset(wire + 74, 'H', 20);             // hardware version
    const std::uint8_t address[] = {10, 77, 0, 2};
    std::memcpy(wire + 94, address, 4);          // IPv4, network order, at an odd offset
    wire[98] = 'X';                              // not read
    wire[99] = 'Y';
    RecoveryReply reply;
    std::memcpy(&reply, wire, sizeof reply);
    IdentityFields id{};
    copy_reply_identity(reply, id);
    EXPECT_EQ(std::string(id.serial_number), std::string(20, 'S'));
    EXPECT_EQ(std::string(id.product_name), std::string(20, 'P'));
    EXPECT_EQ(std::string(id.software_version), std::string(20, 'V'));
    EXPECT_EQ(std::string(id.hardware_version), std::string(20, 'H'));
    EXPECT_STREQ(id.mac_address, "021A3B4C5D6E");
    EXPECT_EQ(reply_device_address(reply), 0x0A4D0002u);

    // A short text ends at its NUL; what follows the NUL is not taken.
    std::memcpy(reply.software_version, "7.5.6a\0zzzz", 11);
    copy_reply_identity(reply, id);
    EXPECT_STREQ(id.software_version, "7.5.6a");

    // The MAC text never writes past its capacity.
    char text[8];
    std::memset(text, '#', sizeof text);
    format_mac_hex(mac, 3, text, 6);  // room for two bytes' digits and the NUL
    EXPECT_EQ(std::string(text, 8), std::string("021A\0###", 8));
}

}  // namespace
}  // namespace qvr
