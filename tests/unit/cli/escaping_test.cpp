// Device text on the terminal and in JSON: controls escaped, valid UTF-8
// kept, any byte at all giving inert text and valid JSON.
#include <gtest/gtest.h>

#include <string>
#include <string_view>

#include "cli/results.h"
#include "common/json_text.h"
#include "common/text.h"

namespace qvr::cli {
namespace {

using namespace std::string_literals;

// True when every byte of text is printable ASCII or part of valid UTF-8
// that is not a C1 control.
bool inert(std::string_view text) {
    for (std::size_t i = 0, n; i < text.size(); i += n) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        n = c < 0x80 ? 1 : utf8_sequence_length(text, i);
        if ((c < 0x20 && c != '\t') || c == 0x7F || n == 0 || utf8_c1_control(text, i)) return false;
    }
    return true;
}

TEST(InertText, ControlsAreEscapedAndValidUtf8Kept) {
    // Regression: an escape sequence in a device's field reached the
    // terminal raw and retitled the window.
    EXPECT_EQ(inert_text("QVR\x1b]0;owned\x07"), "QVR\\x1b]0;owned\\x07");
    EXPECT_EQ(inert_text("QVR6880\r\n"), "QVR6880\\x0d\\x0a");
    EXPECT_EQ(inert_text("a\tb\x7f" "c"), "a\tb\\x7fc");
    EXPECT_EQ(inert_text("\x00x"s), "\\x00x");
    // C1: as a UTF-8 code point (U+009B, CSI) and as a raw byte.
    EXPECT_EQ(inert_text("a\xc2\x9b" "2J"), "a\\xc2\\x9b2J");
    EXPECT_EQ(inert_text("a\x9b" "2J"), "a\\x9b2J");
    // Valid UTF-8 of two, three and four bytes passes unchanged, and so
    // does U+00A0, the first code point after the C1 block.
    for (const char* kept : {"caf\xc3\xa9", "\xe2\x82\xac 5", "\xf0\x9f\x98\x80", "\xc2\xa0", "back\\slash"})
        EXPECT_EQ(inert_text(kept), kept);
    // Bytes that are not UTF-8 are escaped one by one.
    EXPECT_EQ(inert_text("\x80"), "\\x80");                          // lone continuation byte
    EXPECT_EQ(inert_text("\xe2\x82" "A"), "\\xe2\\x82A");            // cut short, then ASCII again
    EXPECT_EQ(inert_text("\xc0\xaf"), "\\xc0\\xaf");                 // overlong '/'
    EXPECT_EQ(inert_text("\xed\xa0\x80"), "\\xed\\xa0\\x80");        // a surrogate
    EXPECT_EQ(inert_text("\xf4\x90\x80\x80"), "\\xf4\\x90\\x80\\x80");  // above U+10FFFF
    EXPECT_EQ(inert_text("\xff\xc3\xa9"), "\\xff\xc3\xa9");          // a valid sequence after a bad byte
}

TEST(JsonString, ControlsAreEscapedAndUtf8Kept) {
    EXPECT_EQ(json_string("QVR\x1b[2J\"\\"), "\"QVR\\u001b[2J\\\"\\\\\"");
    EXPECT_EQ(json_string("a\tb\x7f"), "\"a\\u0009b\\u007f\"");
    EXPECT_EQ(json_string("\xc2\x9b"), "\"\\u009b\"");             // C1 as UTF-8: the same code point
    EXPECT_EQ(json_string("caf\xc3\xa9 \xf0\x9f\x98\x80"), "\"caf\xc3\xa9 \xf0\x9f\x98\x80\"");
    EXPECT_EQ(json_string("\xff\xe9"), "\"\\u00ff\\u00e9\"");       // not UTF-8: each byte read as Latin-1
}

// Every string of one or two bytes comes out inert on the terminal and as
// valid UTF-8 JSON with no raw control inside the quotes.
TEST(InertText, AnyBytesComeOutInert) {
    for (unsigned a = 0; a < 256; ++a)
        for (unsigned b = 0; b < 256; ++b) {
            std::string two{static_cast<char>(a), static_cast<char>(b)};
            ASSERT_TRUE(inert(inert_text(two)) && inert(json_string(two))) << a << " " << b;
        }
}

TEST(Results, DeviceTextIsEscapedInLinesAndTheNoticeIsAJsonField) {
    DeviceResult r{};
    r.label = "10.0.0.2";
    r.passed = r.have_after = true;
    copy_text(r.after.software_version, "7.5.6a\x1b[2J");
    EXPECT_EQ(summary_line(r, "upgraded"), "QVR@10.0.0.2: upgraded to 7.5.6a\\x1b[2J");
    EXPECT_EQ(result_json(r).find("notice"), std::string::npos);
    r.passed = false;
    r.error = "refused: the device reports QVR\x9b";
    EXPECT_EQ(summary_line(r, "upgraded"), "QVR@10.0.0.2: FAILED: refused: the device reports QVR\\x9b");
    r.notice = "cannot tell \x1b";
    EXPECT_NE(result_json(r).find(",\"notice\":\"cannot tell \\u001b\"}"), std::string::npos) << result_json(r);
}

}  // namespace
}  // namespace qvr::cli
