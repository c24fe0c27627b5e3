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

// The terminal program takes a reply only when it names the serial number
// asked for: a device that answers every discovery with its own number must
// not be taken for the one the user named.
TEST(RecoveryReply, NamesTheSerialNumberOnlyWhenTheTextsAreEqual) {
    RecoveryReply reply;
    std::memset(&reply, 0x41, sizeof reply);
    auto naming = [&](const char* serial, std::size_t length) {
        std::memset(reply.serial_number, 0, sizeof reply.serial_number);
        std::memcpy(reply.serial_number, serial, length);
        return reply_names_serial(reply, make_recovery_message(RECOVERY_DISCOVER, "AB12CD"));
    };
    EXPECT_TRUE(naming("AB12CD", 6));
    EXPECT_TRUE(naming("AB12CD\0junk", 11)) << "the text ends at its NUL";
    EXPECT_FALSE(naming("AB12C", 5)) << "a prefix";
    EXPECT_FALSE(naming("AB12CDE", 7)) << "longer";
    EXPECT_FALSE(naming("ab12cd", 6)) << "compared as sent, letter case included";
    EXPECT_FALSE(naming("", 0));

    // A 19-character number against a reply field filled to its 20th byte.
    const RecoveryMessage full = make_recovery_message(RECOVERY_DISCOVER, std::string(19, 'S'));
    std::memset(reply.serial_number, 'S', 20);
    EXPECT_FALSE(reply_names_serial(reply, full));
    reply.serial_number[19] = '\0';
    EXPECT_TRUE(reply_names_serial(reply, full));
}

TEST(RecoveryReply, DeviceAddressMustBeUnicast) {
    const struct {
        std::uint32_t address;
        const char* reason;  // null: usable
    } cases[] = {
        {0xC0A80110u, nullptr}, {0x0A000001u, nullptr}, {0x01020304u, nullptr},
        {0xDFFFFFFEu, nullptr},                                              // 223.255.255.254
        {0x00000000u, "no address"},
        {0x00000001u, "an address of the 0.0.0.0/8 block, which names no host"},
        {0xE0000001u, "a multicast address"},                                // 224.0.0.1
        {0xEFFFFFFFu, "a multicast address"},                                // 239.255.255.255
        {0xF0000001u, "a reserved address (240.0.0.0/4)"},
        {0xFFFFFFFFu, "the broadcast address"},
        {0x7F000002u, "a loopback address, which would be this computer"},   // 127.0.0.2
    };
    for (const auto& c : cases)  // the PC at 192.168.1.2
        EXPECT_STREQ(unusable_device_address(c.address, 0xC0A80102u), c.reason) << std::hex << c.address;
    // Both ends on loopback: the simulated devices of the tests, on this host.
    EXPECT_EQ(unusable_device_address(0x7F000002u, 0x7F000001u), nullptr);
    EXPECT_STREQ(unusable_device_address(0xE0000001u, 0x7F000001u), "a multicast address");
}

}  // namespace
}  // namespace qvr
