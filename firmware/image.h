// The firmware image a deliverable carries and serves.
//
// The bytes are never copied: data points at the image where the program
// holds it (the locked resource on Windows, a test's buffer natively).  Only
// the first 128 bytes, the header, are copied.  The header layout, as far as
// anything reads it (numbers big-endian):
//   0   16  product ID, a blank, "fIrMwArE"  (the ID's first 6-8 bytes name the product)
//   80   4  header size (128)
//   84   4  64
//   88   4  total length of the image (informational; the served length is size)
//   92  36  version text, NUL-terminated inside the header
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace qvr {

inline constexpr std::size_t image_header_size = 128;
inline constexpr std::size_t image_version_offset = 92;
inline constexpr std::size_t image_version_field = image_header_size - image_version_offset;  // 36
// The largest image a lock-step TFTP transfer serves without its 16-bit block
// number wrapping: 65,535 blocks, the last one 511 bytes.
inline constexpr std::uint32_t image_max_size = 65535u * 512u - 1u;  // 33,553,919

struct FirmwareImage {
    const std::uint8_t* data;  // read-only, lives as long as the process
    std::uint32_t size;        // the length served
    std::uint8_t header[image_header_size];
};

// Fills image from bytes the program holds for its whole life.  The header
// copy is zero-padded when the image is shorter than 128 bytes.
void attach_firmware_image(FirmwareImage& image, const std::uint8_t* data, std::uint32_t size);

// The version text at offset 92, up to its NUL.  Bounded by the header: an
// unterminated text ends at the header's end instead of running past it.
std::string_view image_version(const FirmwareImage& image);

// Why an image cannot be embedded, or nullptr when it can: the build and the
// start-up both use this check.
const char* image_problem(const std::uint8_t* data, std::size_t size);

}  // namespace qvr
