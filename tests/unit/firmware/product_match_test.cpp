#include "firmware/product_match.h"

#include <gtest/gtest.h>

#include <cstring>

namespace qvr {
namespace {

ProductMatch match(const DeliverableRules& rules, const char* id, const char* device) {
    std::uint8_t header[128] = {};
    std::memcpy(header, id, std::strlen(id));
    return compare_products(rules, header, device).match;
}

TEST(ProductMatch, ImageProductAgainstTheDeviceName) {
    const struct {
        const char* id;
        const char* device;
        ProductMatch staged, recovery;
    } cases[] = {
        {"SqUoRe5", "QVR7x7g", ProductMatch::same, ProductMatch::same},
        {"SqUoRe5", "qvr-7X7G", ProductMatch::same, ProductMatch::same},     // case, "-" ignored
        {"SqUoRe5", "QVR717G", ProductMatch::family, ProductMatch::family},  // only through the "x"
        {"SqUoRe5", "QVR-6300", ProductMatch::other, ProductMatch::other},
        {"SqUoRe5", "", ProductMatch::unknown_device, ProductMatch::unknown_device},
        {"SqUoRe5", "Frobnicator 9", ProductMatch::unknown_device, ProductMatch::unknown_device},
        {"qvr6200", "QVR-6200", ProductMatch::same, ProductMatch::same},
        {"qvr6200", "QVR6100", ProductMatch::same, ProductMatch::same},  // the second model takes "QVR"
        {"qvr6200", "QVR-6202", ProductMatch::other, ProductMatch::other},
        {"qvr6200", "QVR-6101", ProductMatch::other, ProductMatch::other},
        {"quorel9", "QVR-721", ProductMatch::same, ProductMatch::same},  // "QVR-741/721", "QVR-741/QVR-721"
        {"NoSuchP", "QVR7x7g", ProductMatch::unknown_image, ProductMatch::unknown_image},
        {"TeLvOrO", "NA12", ProductMatch::unknown_device, ProductMatch::unknown_device},  // "X" after a letter is a letter
        {"qvr6300", "QVR6300", ProductMatch::same, ProductMatch::same},       // a separator left out
        {"qvr6200", "qvr 6100", ProductMatch::same, ProductMatch::same},      // a blank for the "-"
        {"SqUoRe5", "QVR_6300", ProductMatch::other, ProductMatch::other},
        // Regression: a line end after the name made the device unknown, so
        // another product's image was only questioned, not refused.
        {"SqUoRe5", "QVR6880\r\n", ProductMatch::other, ProductMatch::other},
        {"QvR6880", " QVR6880\r\n", ProductMatch::same, ProductMatch::same},
        {"SqUoRe5", "QVR&#54;880", ProductMatch::other, ProductMatch::other},
        {"SqUoRe5", "&#x51;VR7x7g&#13;&#10;", ProductMatch::same, ProductMatch::same},
        {"SqUoRe5", "QVR&#;7x7g", ProductMatch::unknown_device, ProductMatch::unknown_device},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(match(staged_upgrader_rules, c.id, c.device), c.staged) << c.id << " " << c.device;
        EXPECT_EQ(match(recovery_upgrader_rules, c.id, c.device), c.recovery) << c.id << " " << c.device;
    }
}

TEST(ProductMatch, TellsBothNamesOfAnotherProduct) {
    std::uint8_t header[128] = {};
    std::memcpy(header, "SqUoRe5", 7);
    ProductComparison c = compare_products(staged_upgrader_rules, header, "QVR 6300");
    ASSERT_EQ(c.match, ProductMatch::other);
    EXPECT_STREQ(c.image.display_name, "QVR7x7g");
    EXPECT_STREQ(c.device_catalogue, "QVR-6300");
}

// Regression: QVR6900 (ID "QvR6900t") and QVR-6900 ("qvr6900") are two
// products whose names differ only by the "-"; folding both to "QVR6900"
// took either device for the other's image.  A separator's presence tells
// them apart whatever makes it; a name that fits both only once separators
// are dropped altogether cannot be told, and never counts as the same.
TEST(ProductMatch, QVR6900AndQVR6900WithAHyphenAreTwoProducts) {
    const struct {
        const char* device;
        ProductMatch for_6900, for_hyphen_6900;
    } cases[] = {
        {"QVR6900", ProductMatch::same, ProductMatch::other},
        {"qvr6900", ProductMatch::same, ProductMatch::other},
        {"QVR-6900", ProductMatch::other, ProductMatch::same},
        {"qvr 6900", ProductMatch::other, ProductMatch::same},
        {"QVR_6900", ProductMatch::other, ProductMatch::same},
        {"QVR69-00", ProductMatch::ambiguous, ProductMatch::ambiguous},
    };
    for (const DeliverableRules* rules : {&staged_upgrader_rules, &recovery_upgrader_rules})
        for (const auto& c : cases) {
            EXPECT_EQ(match(*rules, "QvR6900t", c.device), c.for_6900) << c.device;
            EXPECT_EQ(match(*rules, "qvr6900", c.device), c.for_hyphen_6900) << c.device;
        }
    // Neither of the two is the image's product: another product, both named.
    std::uint8_t header[128] = {};
    std::memcpy(header, "SqUoRe5", 7);
    ProductComparison c = compare_products(staged_upgrader_rules, header, "QVR69-00");
    ASSERT_EQ(c.match, ProductMatch::other);
    EXPECT_STREQ(c.device_catalogue, "QVR6900");
    EXPECT_STREQ(c.device_alternative, "QVR-6900");
}

TEST(ProductMatch, NormalisesTheDeviceName) {
    const struct {
        const char* raw;
        const char* normal;
    } cases[] = {
        {"QVR6880\r\n", "QVR6880"},
        {" \tQVR 6880 \n", "QVR 6880"},  // inside blanks kept
        {"QVR&#45;6300&#x2d;&#X2D;", "QVR-6300--"},
        {"&lt;A&amp;B&gt; &quot;&apos;", "<A&B> \"'"},
        {"&amp;lt;", "&lt;"},  // one pass
        {"&#13;&#10;QVR&#32;&#9;", "QVR"},  // decoded, then trimmed
        {"&#233;&#x1F600;", "\xC3\xA9\xF0\x9F\x98\x80"},  // UTF-8
        // Not well formed or no character: left as they are.
        {"&#;&#x;&#0;&#xD800;&#x110000;&#65&nbsp;&AMP;", "&#;&#x;&#0;&#xD800;&#x110000;&#65&nbsp;&AMP;"},
        {"&#99999999999999999999;", "&#99999999999999999999;"},  // no wrap to a small number
        {"", ""},
    };
    for (const auto& c : cases) EXPECT_EQ(normalise_product_name(c.raw), c.normal) << c.raw;
}

// The worse of the target's and the transition image's comparisons speaks
// for both: another product over "cannot tell" over the same product.
TEST(ProductMatch, TheMoreDoubtfulOfTwoImages) {
    EXPECT_TRUE(more_doubtful(ProductMatch::other, ProductMatch::family));
    EXPECT_TRUE(more_doubtful(ProductMatch::ambiguous, ProductMatch::same));
    EXPECT_FALSE(more_doubtful(ProductMatch::same, ProductMatch::unknown_image));
    EXPECT_FALSE(more_doubtful(ProductMatch::unknown_device, ProductMatch::family));  // the target's kept
}

}  // namespace
}  // namespace qvr
