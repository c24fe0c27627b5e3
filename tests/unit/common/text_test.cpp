#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace qvr {
namespace {

TEST(CopyText, CutsToFitAndAlwaysTerminates) {
    char field[8];
    std::memset(field, 'x', sizeof field);
    EXPECT_TRUE(copy_text(field, "1234567"));  // exactly w - 1 characters
    EXPECT_STREQ(field, "1234567");
    EXPECT_FALSE(copy_text(field, "12345678"));  // one too many: cut, told
    EXPECT_STREQ(field, "1234567");
    EXPECT_TRUE(copy_text(field, ""));
    EXPECT_EQ(field[0], '\0');
}

TEST(CopyText, GuardsTheBytesAfterTheField) {
    struct {
        char field[4];
        char guard[4];
    } r;
    std::memset(&r, 0x5A, sizeof r);
    copy_text(r.field, std::string(100, 'a'));
    EXPECT_EQ(std::string(r.field), "aaa");
    for (char g : r.guard) EXPECT_EQ(g, 0x5A);
}

TEST(FieldText, StopsAtTheEndOfAnUnterminatedField) {
    std::array<char, 4> full = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(field_text(full), "abcd");
    std::array<char, 4> short_text = {'a', '\0', 'c', 'd'};
    EXPECT_EQ(field_text(short_text), "a");
}

}  // namespace
}  // namespace qvr
