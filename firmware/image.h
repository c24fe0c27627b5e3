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

inline constexpr std::size_t image_magic_size = 16;
inline constexpr std::size_t image_header_size_offset = 80;
inline constexpr std::size_t image_product_id_max = 8;  // the longest catalogue prefix

// Why bytes handed in as an image do not look like one, or nullptr when
// they do.  Stricter than image_problem, which the Windows programs keep for
// the image they carry; this is for files a user names, where a wrong file
// (a program, a text, another vendor's image) must be caught before it is
// sent.  Checked:
//   - at least the 128-byte header;
//   - not a Windows program ("MZ" at 0), said as such so that the caller
//     can point to the way to take the image out of one;
//   - the magic: a product ID of 1 to 8 printable ASCII characters without
//     blanks, one blank, then "fIrMwArE".  The magic field is 16 bytes, so
//     an 8-character ID leaves room for "fIrMwAr" only: the marker is
//     compared up to the field's end and the byte after it is not looked at
//     (our image generator cuts the magic there);
//   - 128, the header's size, at offset 80 (32 bits, big-endian).
// The version text and the size limits are image_problem's.
const char* image_format_problem(const std::uint8_t* data, std::size_t size);

// True when bytes begin as a Windows (or DOS) executable does: "MZ".
bool is_windows_program(const std::uint8_t* data, std::size_t size);

// The product ID of a header that passed image_format_problem: the text
// before the first blank of the magic (at most 8 characters; the whole
// 16-byte field when it has no blank).
std::string_view image_product_id(const std::uint8_t* header);

}  // namespace qvr
