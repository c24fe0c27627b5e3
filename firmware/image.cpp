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

bool is_windows_program(const std::uint8_t* data, std::size_t size) {
    return size >= 2 && data[0] == 'M' && data[1] == 'Z';
}

std::string_view image_product_id(const std::uint8_t* header) {
    const char* text = reinterpret_cast<const char*>(header);
    std::size_t n = 0;
    while (n < image_magic_size && text[n] != ' ') ++n;
    return {text, n};
}

const char* image_format_problem(const std::uint8_t* data, std::size_t size) {
    if (size < image_header_size) return "shorter than the 128-byte image header";
    if (is_windows_program(data, size)) return "a Windows program, not a firmware image";
    std::size_t id = 0;
    while (id < image_magic_size && data[id] > ' ' && data[id] < 0x7F) ++id;
    if (id == 0 || id > image_product_id_max || data[id] != ' ')
        return "no image magic at offset 0 (a product ID of 1 to 8 characters, a blank, \"fIrMwArE\")";
    static constexpr char marker[] = "fIrMwArE";
    std::size_t room = image_magic_size - (id + 1);
    std::size_t n = room < sizeof marker - 1 ? room : sizeof marker - 1;
    if (std::memcmp(data + id + 1, marker, n) != 0)
        return "no image magic at offset 0 (the product ID is not followed by \" fIrMwArE\")";
    const std::uint8_t* field = data + image_header_size_offset;
    std::uint32_t header_size = (std::uint32_t{field[0]} << 24) | (std::uint32_t{field[1]} << 16) |
                                (std::uint32_t{field[2]} << 8) | field[3];
    if (header_size != image_header_size) return "the header size at offset 80 is not 128";
    return nullptr;
}

}  // namespace qvr
