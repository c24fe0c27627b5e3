#include "cli/inventory.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/scan.h"
#include "common/text.h"

namespace qvr::cli {
namespace {

using Texts = std::vector<std::string>;

Texts parsed(const std::string& text) {
    Texts out;
    std::string error;
    EXPECT_TRUE(parse_inventory(text, "inv", out, error)) << error;
    return out;
}

TEST(Inventory, BothFormsCommentsAndBlankLines) {
    const std::string text =
        "\xEF\xBB\xBF# office, second floor\r\n"
        "10.0.0.1\r\n"
        "  10.0.0.2   front desk\n"
        "10.0.0.3#spare\n"
        "\t10.0.0.4\tlab # shelf 2\n"
        "\n"
        "   \t\n"
        "   # a comment after blanks\n"
        "{\"address\":\"10.0.0.5\"}\n"
        "  { \"serial_number\" : \"Q\\\"1}\", \"address\" : \"10.0.0.6\", \"n\": [1, -2.5e3, {\"a\": [true, null]}],"
        " \"needs_password\": false }  \r\n"
        "{\"address\":\"\\u0031\\u0030.0.0.7\", \"x\": \"\\u00e9\\n\"}\n"
        "010.0.0.8";  // no line end at the end of the file
    EXPECT_EQ(parsed(text),
              (Texts{"10.0.0.1", "10.0.0.2", "10.0.0.3", "10.0.0.4", "10.0.0.5", "10.0.0.6", "10.0.0.7", "010.0.0.8"}));
    EXPECT_TRUE(parsed("").empty());
    EXPECT_TRUE(parsed("\n# nothing\n").empty());
}

// Every refused line is named by its number, and nothing after it is read.
TEST(Inventory, ARefusedLineIsNamedByItsNumber) {
    const struct {
        std::string line;
        const char* reason;
    } cases[] = {
        {"10.0.0", "neither an IPv4 address"},
        {"0.0.0.0", "neither"},
        {"10.0.0.256 x", "neither"},
        {"{\"addr\":\"10.0.0.1\"}", "not a JSON object with an \"address\""},
        {"{\"address\":10}", "not a JSON object"},
        {"{\"address\":\"10.0.0.1\",\"address\":\"10.0.0.2\"}", "not a JSON object"},
        {"{\"address\":\"10.0.0.1\"", "not a JSON object"},
        {"{\"address\":\"10.0.0.1\"} trailing", "not a JSON object"},
        {"{\"address\":\"10.0.0.1\", \"x\": \"\\q\"}", "not a JSON object"},
        {"{\"address\":\"10.0.0.1\", \"x\": \"a\tb\"}", "not a JSON object"},  // a raw control character
        {"{\"address\":\"host\"}", "\"address\" 'host' is not an IPv4 address"},
        {"{\"address\":\"10.0.0.1 \"}", "is not an IPv4 address"},
        {std::string(40, '[') + std::string(40, ']'), "neither"},  // JSON, but no object
        {"{\"a\":" + std::string(40, '[') + std::string(40, ']') + ",\"address\":\"10.0.0.1\"}", "not a JSON object"},
        {"10.0.0.1" + std::string(max_inventory_line, ' '), "longer than 16384 characters"},
    };
    for (const auto& c : cases) {
        Texts out;
        std::string error;
        EXPECT_FALSE(parse_inventory("10.0.0.9\n# fine\n" + c.line + "\n10.0.0.10\n", "hosts.txt", out, error))
            << c.line;
        EXPECT_EQ(out, Texts{"10.0.0.9"}) << c.line;
        EXPECT_EQ(error.rfind("hosts.txt line 3: ", 0), 0u) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << c.line << " -> " << error;
        EXPECT_LT(error.size(), 300u) << "the line is shown cut: " << error;
    }
}

// What scan --json prints is an inventory as it stands, whatever the
// device's fields hold.
TEST(Inventory, ScanOutputReadsBack) {
    ScanFinding odd{0x0A000002u, false, {}};
    copy_text(odd.identity.serial_number, "Q\"0{1}\\");
    copy_text(odd.identity.product_name, "QVR\x1b[2J\n7x7g, \"address\":\"10.9.9.9\"");
    copy_text(odd.identity.software_version, "\xff\xfe");
    ScanFinding locked{0x7F000003u, true, {}};
    const std::string text = scan_json(odd) + "\n" + scan_json(locked) + "\n";
    EXPECT_EQ(parsed(text), (Texts{"10.0.0.2", "127.0.0.3"}));
    EXPECT_EQ(scan_json(locked),
              "{\"address\":\"127.0.0.3\",\"serial_number\":\"\",\"mac_address\":\"\",\"software_version\":\"\","
              "\"hardware_version\":\"\",\"product_name\":\"\",\"needs_password\":true}");
}

TEST(Inventory, DevicesGivenTwiceAreDoneOnce) {
    EXPECT_EQ(merged_devices({"10.0.0.2", "10.0.0.1", "010.0.0.2"}, {"10.0.0.3", "10.0.0.1", "10.0.0.03", "10.0.0.4"}),
              (Texts{"10.0.0.2", "10.0.0.1", "10.0.0.3", "10.0.0.4"}));
    // Texts that are no address are kept (the run refuses them) and
    // compared as written.
    EXPECT_EQ(merged_devices({"bad", "bad", "Bad"}, {}), (Texts{"bad", "Bad"}));
    EXPECT_EQ(merged_devices({}, {"10.0.0.1"}), Texts{"10.0.0.1"});
}

TEST(Inventory, FileBounds) {
    const std::string path = ::testing::TempDir() + "inventory_test.txt";
    auto write = [&](const std::string& text) {
        std::FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(text.data(), 1, text.size(), f), text.size());
        std::fclose(f);
    };
    Texts out;
    std::string error;
    // Exactly 1 MB of comment and one device: read whole.
    std::string at_bound = "10.0.0.1\n";
    while (at_bound.size() + 1000 <= max_inventory_bytes) at_bound += "#" + std::string(998, 'x') + "\n";
    at_bound += "#" + std::string(max_inventory_bytes - at_bound.size() - 2, 'y') + "\n";
    ASSERT_EQ(at_bound.size(), max_inventory_bytes);
    write(at_bound);
    EXPECT_TRUE(read_inventory(path, out, error)) << error;
    EXPECT_EQ(out, Texts{"10.0.0.1"});
    write(at_bound + "\n");
    out.clear();
    EXPECT_FALSE(read_inventory(path, out, error));
    EXPECT_NE(error.find("larger than 1 MB"), std::string::npos) << error;
    EXPECT_TRUE(out.empty());
    std::remove(path.c_str());
    EXPECT_FALSE(read_inventory(path, out, error));
    EXPECT_NE(error.find("cannot read the inventory " + path), std::string::npos) << error;
}

}  // namespace
}  // namespace qvr::cli
