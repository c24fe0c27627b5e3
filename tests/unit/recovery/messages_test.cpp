// The recovery records byte by byte, and what the PC takes out of a reply.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "recovery/messages.h"

namespace qvr {
namespace {

const std::uint8_t* bytes_of(const RecoveryMessage& m) { return reinterpret_cast<const std::uint8_t*>(&m); }

// Every byte outside [from, to) is zero.
void expect_zero_outside(const RecoveryMessage& m, std::size_t from, std::size_t to, std::size_t from2 = 0,
                         std::size_t to2 = 0) {
    for (std::size_t i = 0; i < sizeof m; ++i) {
        bool inside = (i >= from && i < to) || (i >= from2 && i < to2);
        if (!inside) {
            EXPECT_EQ(bytes_of(m)[i], 0) << "byte " << i;
        }
    }
}

TEST(RecoveryMessage, DiscoverCarriesOnlyTypeAndSerialNumber) {
    RecoveryMessage m = make_recovery_message(RECOVERY_DISCOVER, "AB12", 69, "/ignored");
    EXPECT_EQ(std::memcmp(bytes_of(m) + 8, "AB12", 4), 0);
    expect_zero_outside(m, 8, 12);  // type 0, no magic yet, no port, no name

    // An empty serial number is 20 zero bytes.
    expect_zero_outside(make_recovery_message(RECOVERY_DISCOVER, ""), 0, 0);
}

TEST(RecoveryMessage, UpgradeCarriesPortInNetworkOrderAndFileName) {
    RecoveryMessage m = make_recovery_message(RECOVERY_UPGRADE, "QVR0012345", 0x1234, "/qvr1a2b.bin");
    EXPECT_EQ(bytes_of(m)[0], 2);
    EXPECT_EQ(bytes_of(m)[28], 0x12);
    EXPECT_EQ(bytes_of(m)[29], 0x34);
    EXPECT_EQ(std::memcmp(bytes_of(m) + 32, "/qvr1a2b.bin", 12), 0);
    expect_zero_outside(m, 0, 1, 8, 44);
    for (std::size_t i = 18; i < 28; ++i) EXPECT_EQ(bytes_of(m)[i], 0);
    for (std::size_t i = 30; i < 32; ++i) EXPECT_EQ(bytes_of(m)[i], 0);
}

TEST(RecoveryMessage, LongTextsAreCutAndKeepTheirNul) {
    const std::string serial(25, 'S');
    const std::string name(200, 'n');
    RecoveryMessage m = make_recovery_message(RECOVERY_UPGRADE, serial, 69, name);
    for (std::size_t i = 8; i < 27; ++i) EXPECT_EQ(bytes_of(m)[i], 'S');
    EXPECT_EQ(bytes_of(m)[27], 0) << "19 characters and a NUL";
    for (std::size_t i = 32; i < 159; ++i) EXPECT_EQ(bytes_of(m)[i], 'n');
    EXPECT_EQ(bytes_of(m)[159], 0);
}

TEST(RecoverySerialNumber, TypedTextBecomesUpperCaseAndAtMost19Characters) {
    char entry[recovery_serial_size];
    normalise_serial_number(entry, "ab12cd-x");
    EXPECT_STREQ(entry, "AB12CD-X");
    normalise_serial_number(entry, "abcdefghijklmnopqrstuvwxyz");
    EXPECT_STREQ(entry, "ABCDEFGHIJKLMNOPQRS");
    normalise_serial_number(entry, "");
    EXPECT_STREQ(entry, "");
}

RecoveryReply full_reply() {
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
    return reply;
}

TEST(RecoveryReply, FullTextFieldsYieldTwentyCharactersAndNothingMore) {
    IdentityFields id{};
    RecoveryReply reply = full_reply();
    copy_reply_identity(reply, id);
    EXPECT_EQ(std::string(id.serial_number), std::string(20, 'S'));
    EXPECT_EQ(std::string(id.product_name), std::string(20, 'P'));
    EXPECT_EQ(std::string(id.software_version), std::string(20, 'V'));
    EXPECT_EQ(std::string(id.hardware_version), std::string(20, 'H'));
    EXPECT_STREQ(id.mac_address, "021A3B4C5D6E");
    EXPECT_EQ(reply_device_address(reply), 0x0A4D0002u);

    // Short texts end at their NUL; garbage after the NUL is not taken.
    std::memcpy(reply.software_version, "7.5.6a\0zzzz", 11);
    reply.address[0] = reply.address[1] = reply.address[2] = reply.address[3] = 0;
    copy_reply_identity(reply, id);
    EXPECT_STREQ(id.software_version, "7.5.6a");
    EXPECT_EQ(reply_device_address(reply), 0u);
}

TEST(RecoveryReply, MacHexNeverWritesPastItsCapacity) {
    const std::uint8_t mac[] = {0xAB, 0x00, 0xFF};
    char text[8];
    std::memset(text, '#', sizeof text);
    format_mac_hex(mac, 3, text, 6);  // room for two bytes' digits and the NUL
    EXPECT_STREQ(text, "AB00");
    EXPECT_EQ(text[6], '#');
    format_mac_hex(mac, 3, text, sizeof text);
    EXPECT_STREQ(text, "AB00FF");
}

}  // namespace
}  // namespace qvr
