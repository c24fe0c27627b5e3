// Expected results computed by make_web_vectors.py with Python's hashlib,
// independently of our MD5 and Digest code.
#pragma once

#include <cstdint>

#include "web/digest.h"

namespace qvr_test {

// MD5 of md5_stream_input(length) for every length 0..4096.
inline constexpr int md5_stream_lengths = 4097;
extern const char* const md5_stream_digests[md5_stream_lengths];

// Bytes length .. 2*length-1 of the xorshift32 stream the generator uses.
inline void md5_stream_input(std::uint8_t* out, int length) {
    std::uint32_t x = 0x2545F491u;
    for (int i = 0; i < 2 * length; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        if (i >= length) out[i - length] = static_cast<std::uint8_t>(x);
    }
}

struct DigestVector {
    qvr::DigestState state;  // credentials, challenge, client nonce and nc
    const char* uri;
    const char* line;  // the whole Authorization line, nc written "%09x"
};
extern const DigestVector digest_vectors[];
extern const int digest_vector_count;

}  // namespace qvr_test
