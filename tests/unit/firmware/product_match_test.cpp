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

}  // namespace
}  // namespace qvr
