#include "firmware/image.h"

#include <cstring>

namespace qvr {

void attach_firmware_image(FirmwareImage& image, const std::uint8_t* data, std::uint32_t size) {
    image.data = data;
    image.size = size;
    std::memset(image.header, 0, sizeof image.header);
    std::size_t n = size < image_header_size ? size : image_header_size;
    if (n != 0) std::memcpy(image.header, data, n);
}

std::string_view image_version(const FirmwareImage& image) {
    const char* text = reinterpret_cast<const char*>(image.header + image_version_offset);
    std::size_t n = 0;
    while (n < image_version_field && text[n] != '\0') ++n;
    return {text, n};
}

const char* image_problem(const std::uint8_t* data, std::size_t size) {
    if (size < image_header_size) return "the image is shorter than its 128-byte header";
    if (size > image_max_size)
        return "the image is larger than 33,553,919 bytes, the most a lock-step TFTP transfer "
               "serves before its block number wraps";
    if (std::memchr(data + image_version_offset, 0, image_version_field) == nullptr)
        return "the version text at offset 92 has no NUL inside the 128-byte header";
    return nullptr;
}

}  // namespace qvr
