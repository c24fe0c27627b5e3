#include <gtest/gtest.h>

#include <cstring>
#include <string_view>
#include <vector>

#include "firmware/image.h"

namespace qvr {
namespace {

// An image of `size` bytes: `magic` at 0, `header_size` big-endian at 80, a
// version text at 92.
std::vector<std::uint8_t> image_with(std::string_view magic, std::uint32_t header_size = 128,
                                     std::size_t size = 256) {
    std::vector<std::uint8_t> bytes(size < 128 ? 128 : size, 0);
    std::memcpy(bytes.data(), magic.data(), magic.size());
    for (int i = 0; i < 4; ++i) bytes[80 + i] = static_cast<std::uint8_t>(header_size >> (24 - 8 * i));
    std::memcpy(bytes.data() + 92, "7.5.6a", 6);
    bytes.resize(size);
    return bytes;
}

// Files named as images: what passes and what is refused, by the reason.
TEST(ImageFormat, MagicAndHeaderSize) {
    const struct {
        std::vector<std::uint8_t> bytes;
        const char* problem;  // a part of the reason, or null: accepted
    } cases[] = {
        {image_with("SqUoRe5 fIrMwArE"), nullptr},
        {image_with("quorel fIrMwArE"), nullptr},   // a 6-character ID
        {image_with("QvR6900t fIrMwAr"), nullptr},  // 8 characters: the marker cut at the field's end
        {image_with("SqUoRe5 FIRMWARE"), "no image magic"},  // the marker's case is part of it
        {image_with("SqUoRe5fIrMwArE"), "no image magic"},   // no blank
        {image_with(" SqUoRe5 fIrMwAr"), "no image magic"},  // no ID
        {image_with("SqUoRe5  fIrMwAr"), "no image magic"},  // two blanks
        {image_with("QvR6900tX fIrMwA"), "no image magic"},  // a 9-character ID
        {image_with("SqU\x1bRe5 fIrMwArE"), "no image magic"},
        {image_with("SqUoRe5 fIrMwArE", 0x80000000), "header size at offset 80"},  // 128 little-endian
        {image_with("SqUoRe5 fIrMwArE", 64), "header size at offset 80"},
        {image_with("SqUoRe5 fIrMwArE", 128, 127), "shorter than"},
        {image_with("MZ\x90"), "a Windows program"},
    };
    for (const auto& c : cases) {
        const char* found = image_format_problem(c.bytes.data(), c.bytes.size());
        std::string_view magic(reinterpret_cast<const char*>(c.bytes.data()), 16);
        std::string_view problem = found == nullptr ? "(accepted)" : found;  // so an acceptance is compared too
        EXPECT_NE(problem.find(c.problem ? c.problem : "(accepted)"), problem.npos) << magic << ": " << problem;
    }
    EXPECT_TRUE(is_windows_program(image_with("MZ").data(), 2));
    // The product ID, compared when a transition image is paired with a target image.
    EXPECT_EQ(image_product_id(image_with("QvR6900t fIrMwAr").data()), "QvR6900t");
    EXPECT_EQ(image_product_id(image_with("quorel fIrMwArE").data()), "quorel");
}

}  // namespace
}  // namespace qvr
