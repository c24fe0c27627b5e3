#include "firmware/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/build_deliverable.h"

namespace qvr {
namespace {

using namespace std::string_view_literals;

// The name and phone-family flag a table gives for a header starting with
// `id`; only the header's leading bytes matter, the rest is padding.
std::pair<std::string, int> product(std::span<const CatalogueRow> table, std::string_view id) {
    std::uint8_t header[128] = {};
    std::memcpy(header, id.data(), id.size());
    std::memcpy(header + id.size(), " fIrMwArE", 9);
    ProductIdentity out;
    std::memset(&out, 0x7F, sizeof out);
    identify_product_in(table, header, out);
    return {out.display_name, out.phone_family};
}

TEST(Catalogue, ProductOfEachIdInBothTables) {
    const char* odm = "ODM-Product";
    const struct {
        std::string_view id;
        const char* recovery;
        int recovery_phone;
        const char* staged;
        int staged_phone;
    } cases[] = {
        {"SqUoRe5", "QVR7x7g", 0, "QVR7x7g", 0},  // the shipped image
        // The recovery table folds case on every row but one; the staged
        // table has many exact rows.
        {"squore5", "QVR7x7g", 0, odm, 0},
        {"qvr6202", "QVR-6202", 0, odm, 0},
        {"QvR6202", "QVR-6202", 0, "QVR-6202", 0},
        {"TELVORO", "NAX2", 0, "Telvoro NAX2", 0},
        {"SQUOREM", "QVR-742/QVR-722", 1, odm, 0},
        // Longer and stricter rows come first: only the exact "QuOrElX" is
        // the 71xG, any other case falls to the six-letter phone row; an
        // eight-character row comes before its seven-character prefix.
        {"QUOREL9", "QVR-741/QVR-721", 1, "QVR-741/721", 1},
        {"QuOrEl6", "QVR-762", 1, "QVR-762", 1},
        {"QuOrElX", "QVR71xG", 0, "QVR71xG", 0},
        {"quorelX", "QVR-781", 1, "QVR-781", 1},
        {"QUORELZ", "QVR-781", 1, "QVR-781", 1},
        {"QvR6900t", "QVR6900", 0, "QVR6900", 0},
        {"qvr6900t", "QVR6900", 0, "QVR-6900", 0},
        {"QVR6900X", "QVR-6900", 0, "QVR-6900", 0},
        {"tvnax2v3", "NAX2T", 0, "Telvoro NAX2T", 0},
        // Each row as it spells its ID: a row hidden behind an earlier,
        // looser one would name another product.
        {"qvr6300", "QVR-6300", 0, "QVR-6300", 0},
        {"qvr6200", "QVR-6100/6200", 0, "QVR-6100/6200", 0},
        {"qvr6101", "QVR-6101", 0, "QVR-6101", 0},
        {"qUoR701", "QVR-701", 1, "QVR-701", 1},
        {"QvR6800", "QVR6800", 0, "QVR6800", 0},
        {"QvR6880", "QVR6880", 0, "QVR6880", 0},
        {"QvR6312", "QVR-6312", 0, "QVR-6312", 0},
        {"qvr6210", "QVR-6210", 0, "QVR-6210", 0},
        {"QvR6212", "QVR-6212", 0, "QVR-6212", 0},
        // A NUL inside the ID is a difference, after a row's last letter not.
        {"qUoR7\0" "01"sv, odm, 0, odm, 0},
        {"quore\0l"sv, odm, 0, odm, 0},
        {"quorel\0"sv, "QVR-781", 1, "QVR-781", 1},
        {"NoSuchP", odm, 0, odm, 0},
        {"", odm, 0, odm, 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(product(recovery_catalogue, c.id), std::pair(std::string(c.recovery), c.recovery_phone)) << c.id;
        EXPECT_EQ(product(staged_catalogue, c.id), std::pair(std::string(c.staged), c.staged_phone)) << c.id;
    }
}

TEST(Catalogue, EachRulesRecordUsesItsOwnTable) {
    std::uint8_t header[128] = {};
    std::memcpy(header, "qvr6202", 7);
    ProductIdentity out;
    identify_product(recovery_upgrader_rules, header, out);
    EXPECT_STREQ(out.display_name, "QVR-6202");
    identify_product(staged_upgrader_rules, header, out);
    EXPECT_STREQ(out.display_name, "ODM-Product");
    identify_product(build_rules, header, out);
    EXPECT_STREQ(out.display_name, is_recovery_upgrader ? "QVR-6202" : "ODM-Product");
}

}  // namespace
}  // namespace qvr
