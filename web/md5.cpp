// MD5 after RFC 1321: 64-byte blocks, four rounds of sixteen steps, words
// and the length little-endian whatever the host's byte order.
#include "web/md5.h"

#include <cstring>

namespace qvr {

namespace {

// Per-step shift amounts, four per round.
constexpr std::uint8_t shifts[4][4] = {{7, 12, 17, 22}, {5, 9, 14, 20}, {4, 11, 16, 23}, {6, 10, 15, 21}};

// T[i] = floor(2^32 * abs(sin(i + 1))), the table of RFC 1321 section 3.4.
constexpr std::uint32_t sines[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a, 0xa8304613, 0xfd469501,
    0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be, 0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821,
    0xf61e2562, 0xc040b340, 0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8, 0x676f02d9, 0x8d2a4c8a,
    0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c, 0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70,
    0x289b7ec6, 0xeaa127fa, 0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92, 0xffeff47d, 0x85845dd1,
    0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1, 0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

constexpr std::uint32_t rotate_left(std::uint32_t x, unsigned n) { return (x << n) | (x >> (32 - n)); }

void md5_block(std::uint32_t (&state)[4], const std::uint8_t* block) {
    std::uint32_t x[16];
    for (int i = 0; i < 16; ++i)
        x[i] = std::uint32_t{block[4 * i]} | (std::uint32_t{block[4 * i + 1]} << 8) |
               (std::uint32_t{block[4 * i + 2]} << 16) | (std::uint32_t{block[4 * i + 3]} << 24);
    std::uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    for (unsigned i = 0; i < 64; ++i) {
        unsigned round = i / 16;
        std::uint32_t f;
        unsigned k;
        switch (round) {
            case 0: f = (b & c) | (~b & d); k = i; break;
            case 1: f = (b & d) | (c & ~d); k = (1 + 5 * i) % 16; break;
            case 2: f = b ^ c ^ d; k = (5 + 3 * i) % 16; break;
            default: f = c ^ (b | ~d); k = (7 * i) % 16; break;
        }
        std::uint32_t next = b + rotate_left(a + f + x[k] + sines[i], shifts[round][i % 4]);
        a = d;
        d = c;
        c = b;
        b = next;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
}

}  // namespace

void md5_start(Md5Context& context) {
    context.state[0] = 0x67452301;
    context.state[1] = 0xefcdab89;
    context.state[2] = 0x98badcfe;
    context.state[3] = 0x10325476;
    context.length = 0;
    std::memset(context.block, 0, sizeof context.block);
}

void md5_add(Md5Context& context, const void* data, std::size_t length) {
    if (length == 0) return;
    const std::uint8_t* in = static_cast<const std::uint8_t*>(data);
    std::size_t used = static_cast<std::size_t>(context.length % 64);
    context.length += length;
    if (used != 0) {
        std::size_t take = 64 - used < length ? 64 - used : length;
        std::memcpy(context.block + used, in, take);
        in += take;
        length -= take;
        if (used + take < 64) return;
        md5_block(context.state, context.block);
    }
    for (; length >= 64; in += 64, length -= 64) md5_block(context.state, in);
    if (length != 0) std::memcpy(context.block, in, length);
}

void md5_add(Md5Context& context, std::string_view text) { md5_add(context, text.data(), text.size()); }

void md5_finish(Md5Context& context, std::uint8_t (&digest)[md5_digest_size]) {
    // 0x80, zeros up to 56 bytes modulo 64, then the length in bits.
    std::uint64_t bits = context.length * 8;
    std::uint8_t padding[72] = {0x80};
    std::size_t used = static_cast<std::size_t>(context.length % 64);
    std::size_t pad = used < 56 ? 56 - used : 120 - used;
    for (int i = 0; i < 8; ++i) padding[pad + i] = static_cast<std::uint8_t>(bits >> (8 * i));
    md5_add(context, padding, pad + 8);
    for (int i = 0; i < 4; ++i)
        for (int j = 0; j < 4; ++j) digest[4 * i + j] = static_cast<std::uint8_t>(context.state[i] >> (8 * j));
}

}  // namespace qvr
