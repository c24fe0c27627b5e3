#include "firmware/catalogue.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "common/deliverable.h"

namespace qvr {
namespace {

struct Named {
    std::string name;
    int phone_family;
};

// Only the header's leading bytes matter; the rest of the magic is padding.
Named name_of(std::span<const CatalogueRow> table, const char* id, std::size_t id_length = std::string::npos) {
    std::uint8_t header[128] = {};
    std::size_t n = id_length == std::string::npos ? std::strlen(id) : id_length;
    std::memcpy(header, id, n);
    std::memcpy(header + n, " fIrMwArE", 9);
    ProductIdentity out;
    std::memset(&out, 0x7F, sizeof out);
    out.phone_family = 7;
    identify_product_in(table, header, out);
    return {out.display_name, out.phone_family};
}

Named recovery(const char* id) { return name_of(recovery_catalogue, id); }
Named staged(const char* id) { return name_of(staged_catalogue, id); }

TEST(Catalogue, ShippedImageIsTheSameProductInBoth) {
    EXPECT_EQ(recovery("SqUoRe5").name, "QVR7x7g");
    EXPECT_EQ(recovery("SqUoRe5").phone_family, 0);
    EXPECT_EQ(staged("SqUoRe5").name, "QVR7x7g");
    EXPECT_EQ(staged("SqUoRe5").phone_family, 0);
}

TEST(Catalogue, CaseRulesDifferBetweenTheTables) {
    // The recovery table folds case on SqUoRe5, the staged one does not.
    EXPECT_EQ(recovery("squore5").name, "QVR7x7g");
    EXPECT_EQ(staged("squore5").name, "ODM-Product");
    EXPECT_EQ(recovery("qvr6202").name, "QVR-6202");
    EXPECT_EQ(staged("qvr6202").name, "ODM-Product");
    EXPECT_EQ(staged("QvR6202").name, "QVR-6202");
    EXPECT_EQ(recovery("TELVORO").name, "NAX2");
    EXPECT_EQ(staged("TELVORO").name, "Telvoro NAX2");
    EXPECT_EQ(staged("SQUOREM").name, "ODM-Product");  // exact row in staged
    EXPECT_EQ(recovery("SQUOREM").name, "QVR-742/QVR-722");
    EXPECT_EQ(recovery("SQUOREM").phone_family, 1);
    // Folding is ASCII letters only: '@' is not '`'.
    EXPECT_EQ(recovery("qvr63@0").name, "ODM-Product");
}

TEST(Catalogue, LongerAndStricterRowsComeFirst) {
    EXPECT_EQ(recovery("QUOREL9").name, "QVR-741/QVR-721");
    EXPECT_EQ(recovery("QUOREL9").phone_family, 1);
    EXPECT_EQ(staged("QUOREL9").name, "QVR-741/721");
    EXPECT_EQ(staged("QUOREL9").phone_family, 1);
    EXPECT_EQ(recovery("quorel6").name, "QVR-762");
    EXPECT_EQ(staged("QuOrEl6").name, "QVR-762");
    // Only the exact "QuOrElX" is the 71xG; any other case falls to the
    // six-letter phone row.
    EXPECT_EQ(recovery("QuOrElX").name, "QVR71xG");
    EXPECT_EQ(recovery("QuOrElX").phone_family, 0);
    EXPECT_EQ(recovery("quorelX").name, "QVR-781");
    EXPECT_EQ(recovery("quorelX").phone_family, 1);
    EXPECT_EQ(staged("QUORELX").name, "QVR-781");
    EXPECT_EQ(staged("QuOrElX").name, "QVR71xG");
    EXPECT_EQ(recovery("quorelz").name, "QVR-781");
    // The eight-character row before its seven-character prefix.
    EXPECT_EQ(recovery("qvr6900t").name, "QVR6900");
    EXPECT_EQ(recovery("QVR6900X").name, "QVR-6900");
    EXPECT_EQ(staged("QvR6900t").name, "QVR6900");
    EXPECT_EQ(staged("qvr6900t").name, "QVR-6900");
    EXPECT_EQ(recovery("TvNaX2V3").name, "NAX2T");
    EXPECT_EQ(staged("tvnax2v3").name, "Telvoro NAX2T");
}

TEST(Catalogue, NulInsideTheIdIsADifference) {
    // Five characters of "qUoR701" and then a NUL: no row, not even "quorel".
    EXPECT_EQ(name_of(recovery_catalogue, "qUoR7\0" "01", 8).name, "ODM-Product");
    EXPECT_EQ(name_of(staged_catalogue, "quore\0l", 7).name, "ODM-Product");
    // A six-letter row is satisfied before the NUL.
    EXPECT_EQ(name_of(recovery_catalogue, "quorel\0", 7).name, "QVR-781");
}

TEST(Catalogue, UnknownIdFallsBackWithTheFlagClear) {
    Named n = recovery("NoSuchP");
    EXPECT_EQ(n.name, "ODM-Product");
    EXPECT_EQ(n.phone_family, 0);
    n = staged("");
    EXPECT_EQ(n.name, "ODM-Product");
    EXPECT_EQ(n.phone_family, 0);
}

TEST(Catalogue, RowsNotShadowedByEarlierOnes) {
    // Each ID as the row spells it, with the names both tables must give:
    // a row hidden behind an earlier, looser one would name another product.
    struct Sample {
        const char* id;
        const char* recovery_name;
        const char* staged_name;
        int phone_family;
    };
    const Sample samples[] = {
        {"qvr6300", "QVR-6300", "QVR-6300", 0},          {"qvr6200", "QVR-6100/6200", "QVR-6100/6200", 0},
        {"qvr6101", "QVR-6101", "QVR-6101", 0},          {"qUoR701", "QVR-701", "QVR-701", 1},
        {"QvR6800", "QVR6800", "QVR6800", 0},            {"QvR6880", "QVR6880", "QVR6880", 0},
        {"QvR6312", "QVR-6312", "QVR-6312", 0},          {"qvr6210", "QVR-6210", "QVR-6210", 0},
        {"QvR6212", "QVR-6212", "QVR-6212", 0},
    };
    for (const Sample& s : samples) {
        EXPECT_EQ(recovery(s.id).name, s.recovery_name) << s.id;
        EXPECT_EQ(recovery(s.id).phone_family, s.phone_family) << s.id;
        EXPECT_EQ(staged(s.id).name, s.staged_name) << s.id;
        EXPECT_EQ(staged(s.id).phone_family, s.phone_family) << s.id;
    }
}

TEST(Catalogue, DeliverableUsesItsOwnTable) {
    std::uint8_t header[128] = {};
    std::memcpy(header, "qvr6202", 7);
    ProductIdentity out;
    identify_product(header, out);
    EXPECT_STREQ(out.display_name, is_recovery_upgrader ? "QVR-6202" : "ODM-Product");
}

}  // namespace
}  // namespace qvr
