#include "common/text.h"

#include <gtest/gtest.h>

#include <string>

namespace qvr {
namespace {

TEST(CopyText, CutsToFitAlwaysTerminatesAndSaysWhetherItCut) {
    struct {
        char field[8];
        char guard[4];
    } r;
    std::memset(&r, 'x', sizeof r);
    EXPECT_TRUE(copy_text(r.field, "1234567"));  // exactly w - 1 characters
    EXPECT_STREQ(r.field, "1234567");
    EXPECT_FALSE(copy_text(r.field, std::string(100, 'a')));
    EXPECT_STREQ(r.field, "aaaaaaa");
    EXPECT_EQ(std::string(r.guard, 4), "xxxx");
    EXPECT_TRUE(copy_text(r.field, ""));
    EXPECT_EQ(r.field[0], '\0');
}

TEST(FieldText, StopsAtTheEndOfAnUnterminatedField) {
    std::array<char, 4> full = {'a', 'b', 'c', 'd'};
    EXPECT_EQ(field_text(full), "abcd");
    std::array<char, 4> short_text = {'a', '\0', 'c', 'd'};
    EXPECT_EQ(field_text(short_text), "a");
}

}  // namespace
}  // namespace qvr
