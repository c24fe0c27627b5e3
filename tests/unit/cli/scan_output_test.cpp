#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "cli/scan.h"
#include "common/text.h"

namespace qvr::cli {
namespace {

ScanFinding device(std::uint32_t address, const char* product, const char* serial) {
    ScanFinding f{address, false, {}};
    copy_text(f.identity.product_name, product);
    copy_text(f.identity.serial_number, serial);
    copy_text(f.identity.software_version, "7.1.2");
    copy_text(f.identity.hardware_version, "1.0");
    copy_text(f.identity.mac_address, "00:0E:08:12:34:56");
    return f;
}

// Sorted by address as a number (10.0.0.10 after 10.0.0.9), columns
// aligned, device text escaped, the empty field and the locked device
// shown as such.
TEST(ScanOutput, TableIsSortedAlignedAndInert) {
    ScanFinding tenth = device(0x0A00000Au, "QVR\x1b[31m", "Q10");
    ScanFinding ninth = device(0x0A000009u, "QVR7x7g", "");
    ScanFinding locked{0x0A000001u, true, {}};
    const std::vector<std::string> lines = scan_table({tenth, ninth, locked});
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].rfind("ADDRESS", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("10.0.0.1 ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find("(asks for a password)"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind("10.0.0.9 ", 0), 0u) << lines[2];
    EXPECT_EQ(lines[3].rfind("10.0.0.10 ", 0), 0u) << lines[3];
    EXPECT_NE(lines[3].find("QVR\\x1b[31m"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[3].find('\x1b'), std::string::npos);
    // Every row's serial number column starts where the header's does.
    const std::size_t serial = lines[0].find("SERIAL NUMBER");
    EXPECT_EQ(lines[2].substr(serial, 2), "- ") << "an empty field shows as -: " << lines[2];
    EXPECT_EQ(lines[3].substr(serial, 4), "Q10 ") << lines[3];
    const std::size_t mac = lines[0].find("MAC ADDRESS");
    EXPECT_EQ(lines[3].substr(mac), "00:0E:08:12:34:56") << lines[3];
    EXPECT_EQ(scan_table({}).size(), 1u);
}

}  // namespace
}  // namespace qvr::cli
