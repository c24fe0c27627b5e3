// MD5 message digest (RFC 1321), through the usual incremental interface:
// start, add bytes as they come, finish to 16 bytes.
//
// The device's Digest authentication needs nothing else, and the programs
// depend on no library beyond the C++ runtime, so the digest is ours.  It
// is used for authentication against the device only; MD5 gives no
// collision resistance and is not used for anything that would need it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qvr {

inline constexpr std::size_t md5_digest_size = 16;

struct Md5Context {
    std::uint32_t state[4];   // A, B, C, D
    std::uint64_t length;     // bytes added so far (the bit count wraps mod 2^64 as RFC 1321 asks)
    std::uint8_t block[64];   // bytes of the block being filled
};

void md5_start(Md5Context& context);
// Adds length bytes; any length, including 0, in as many calls as wanted.
void md5_add(Md5Context& context, const void* data, std::size_t length);
// The text's bytes, without a terminating NUL.
void md5_add(Md5Context& context, std::string_view text);
// Pads, writes the 16-byte digest and leaves the context spent (start it
// again before the next use).
void md5_finish(Md5Context& context, std::uint8_t (&digest)[md5_digest_size]);

}  // namespace qvr
