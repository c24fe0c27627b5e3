// MD5 against RFC 1321's test suite and against Python's hashlib on inputs of
// every length from 0 to 4096 bytes (web_vectors.cpp, generated).
#include "web/md5.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "web/digest.h"
#include "web/web_vectors.h"

namespace qvr {
namespace {

// Added `piece` bytes at a time.
std::string hex_md5(const void* data, std::size_t length, std::size_t piece) {
    Md5Context md5;
    md5_start(md5);
    for (std::size_t at = 0; at < length; at += piece)
        md5_add(md5, static_cast<const std::uint8_t*>(data) + at, std::min(piece, length - at));
    std::uint8_t digest[md5_digest_size];
    char text[digest_hex_size];
    md5_finish(md5, digest);
    hex_lower(digest, text);
    return text;
}

TEST(Md5, Rfc1321TestSuite) {
    const std::string suite[][2] = {
        {"", "d41d8cd98f00b204e9800998ecf8427e"},
        {"a", "0cc175b9c0f1b6a831c399e269772661"},
        {"abc", "900150983cd24fb0d6963f7d28e17f72"},
        {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
        {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
        {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "d174ab98d277d9f5a5611c2c9f419d9f"},
        {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
         "57edf4a22be3c955ac49da2e2107b67a"},
    };
    for (const auto& [input, expected] : suite) EXPECT_EQ(hex_md5(input.data(), input.size(), 64), expected) << input;
}

// Each length once in one piece and once in pieces that straddle the
// 64-byte blocks in every way (1, 7, 63, 65 bytes at a time).
TEST(Md5, AgreesWithHashlibOnEveryLengthAndAnySplit) {
    std::vector<std::uint8_t> data(qvr_test::md5_stream_lengths);
    for (int length = 0; length < qvr_test::md5_stream_lengths; ++length) {
        qvr_test::md5_stream_input(data.data(), length);
        const char* expected = qvr_test::md5_stream_digests[length];
        ASSERT_EQ(hex_md5(data.data(), length, length + 1), expected) << "length " << length;
        const std::size_t pieces[] = {1, 7, 63, 65};
        ASSERT_EQ(hex_md5(data.data(), length, pieces[length % 4]), expected) << "length " << length;
    }
}

}  // namespace
}  // namespace qvr
