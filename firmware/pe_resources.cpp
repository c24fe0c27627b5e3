#include "firmware/pe_resources.h"

#include <cstddef>

namespace qvr {

namespace {

// Little-endian reads over the file; a read past the end gives 0 and sets
// the sticky failed flag, checked once where a walk ends.
struct FileReader {
    std::span<const std::uint8_t> bytes;
    bool failed;
};

bool fits(const FileReader& r, std::uint64_t at, std::uint64_t length) {
    return at <= r.bytes.size() && length <= r.bytes.size() - at;
}

std::uint32_t read_le(FileReader& r, std::uint64_t at, unsigned width) {
    if (!fits(r, at, width)) {
        r.failed = true;
        return 0;
    }
    std::uint32_t value = 0;
    for (unsigned i = 0; i < width; ++i) value |= std::uint32_t{r.bytes[at + i]} << (8 * i);
    return value;
}

std::uint16_t u16(FileReader& r, std::uint64_t at) { return static_cast<std::uint16_t>(read_le(r, at, 2)); }
std::uint32_t u32(FileReader& r, std::uint64_t at) { return read_le(r, at, 4); }

constexpr std::uint32_t high_bit = 0x80000000u;
constexpr std::uint32_t resource_directory_index = 2;
constexpr std::uint64_t section_header_size = 40;
constexpr std::uint64_t directory_header_size = 16;
constexpr std::uint64_t directory_entry_size = 8;

struct Sections {
    std::uint64_t table;  // file offset of the section table
    unsigned count;
};

// The file offset of `length` bytes at a relative virtual address, inside
// one section's raw data; false when no section holds them all.
bool rva_to_offset(FileReader& r, const Sections& sections, std::uint32_t rva, std::uint32_t length,
                   std::uint64_t& offset) {
    for (unsigned i = 0; i < sections.count; ++i) {
        std::uint64_t header = sections.table + i * section_header_size;
        std::uint32_t address = u32(r, header + 12);
        std::uint32_t raw_size = u32(r, header + 16);
        std::uint32_t raw_at = u32(r, header + 20);
        if (r.failed) return false;
        if (rva < address || std::uint64_t{rva} - address >= raw_size) continue;
        std::uint64_t inside = std::uint64_t{rva} - address;
        if (length > raw_size - inside) return false;
        offset = std::uint64_t{raw_at} + inside;
        return fits(r, offset, length);
    }
    return false;
}

bool name_matches(FileReader& r, std::uint64_t at, std::string_view wanted) {
    std::uint16_t length = u16(r, at);
    if (r.failed || length != wanted.size()) return false;
    for (std::size_t i = 0; i < wanted.size(); ++i) {
        std::uint16_t c = u16(r, at + 2 + 2 * i);
        if (r.failed) return false;
        auto fold = [](unsigned ch) { return ch >= 'a' && ch <= 'z' ? ch - 'a' + 'A' : ch; };
        if (fold(c) != fold(static_cast<unsigned char>(wanted[i]))) return false;
    }
    return true;
}

// The entry of a directory (at `directory`, relative to the resource root)
// that names `name` (a text, when not empty) or `id`.  Returns its
// OffsetToData word, or 0 with found false.  A directory or entries that
// do not lie inside the resource section set the reader's failed flag.
std::uint32_t find_entry(FileReader& r, std::uint64_t root, std::uint32_t root_size, std::uint32_t directory,
                         std::string_view name, std::uint16_t id, bool& found) {
    found = false;
    if (directory > root_size || root_size - directory < directory_header_size) {
        r.failed = true;
        return 0;
    }
    std::uint64_t at = root + directory;
    unsigned named = u16(r, at + 12);
    unsigned numbered = u16(r, at + 14);
    std::uint64_t entries = at + directory_header_size;
    if (r.failed || (named + numbered) * directory_entry_size > root_size - directory - directory_header_size) {
        r.failed = true;
        return 0;
    }
    for (unsigned i = 0; i < named + numbered; ++i) {
        std::uint32_t key = u32(r, entries + i * directory_entry_size);
        std::uint32_t target = u32(r, entries + i * directory_entry_size + 4);
        if (r.failed) return 0;
        bool hit = false;
        if (key & high_bit) {
            std::uint32_t text = key & ~high_bit;
            hit = !name.empty() && text < root_size && name_matches(r, root + text, name);
        } else {
            hit = name.empty() && key == id;
        }
        if (hit) {
            found = true;
            return target;
        }
    }
    return 0;
}

}  // namespace

PeResourceFind find_pe_resource(std::span<const std::uint8_t> file, std::string_view type_name, std::uint16_t id,
                                std::span<const std::uint8_t>& data) {
    FileReader r{file, false};
    if (u16(r, 0) != 0x5A4D) return PeResourceFind::not_pe;  // "MZ"
    std::uint64_t pe = u32(r, 0x3C);
    if (r.failed || u32(r, pe) != 0x00004550) return PeResourceFind::not_pe;  // "PE\0\0"
    std::uint64_t coff = pe + 4;
    unsigned section_count = u16(r, coff + 2);
    std::uint64_t optional = coff + 20;
    unsigned optional_size = u16(r, coff + 16);
    std::uint16_t magic = u16(r, optional);
    std::uint64_t count_at = 0;
    if (magic == 0x10B)
        count_at = optional + 92;  // PE32
    else if (magic == 0x20B)
        count_at = optional + 108;  // PE32+
    else
        return PeResourceFind::not_pe;
    std::uint32_t directory_count = u32(r, count_at);
    if (r.failed) return PeResourceFind::not_pe;
    if (directory_count <= resource_directory_index) return PeResourceFind::no_resources;
    std::uint64_t resource_dir = count_at + 4 + resource_directory_index * 8;
    if (resource_dir + 8 > optional + optional_size) return PeResourceFind::no_resources;
    std::uint32_t root_rva = u32(r, resource_dir);
    std::uint32_t root_size = u32(r, resource_dir + 4);
    if (r.failed) return PeResourceFind::not_pe;
    if (root_rva == 0 || root_size == 0) return PeResourceFind::no_resources;

    Sections sections{optional + optional_size, section_count};
    std::uint64_t root = 0;
    if (!rva_to_offset(r, sections, root_rva, root_size, root)) return PeResourceFind::damaged;

    // Type, then name, then language: each level must lead to a
    // subdirectory but the last, which must lead to a data entry.
    bool found = false;
    std::uint32_t next = find_entry(r, root, root_size, 0, type_name, 0, found);
    if (r.failed) return PeResourceFind::damaged;
    if (!found) return PeResourceFind::not_found;
    if (!(next & high_bit)) return PeResourceFind::damaged;
    next = find_entry(r, root, root_size, next & ~high_bit, {}, id, found);
    if (r.failed) return PeResourceFind::damaged;
    if (!found) return PeResourceFind::not_found;
    if (!(next & high_bit)) return PeResourceFind::damaged;

    // The first language, whatever it is.
    std::uint32_t languages = next & ~high_bit;
    if (languages > root_size || root_size - languages < directory_header_size + directory_entry_size)
        return PeResourceFind::damaged;
    unsigned entries = u16(r, root + languages + 12) + u16(r, root + languages + 14);
    std::uint32_t entry = u32(r, root + languages + directory_header_size + 4);
    if (r.failed || entries == 0 || (entry & high_bit)) return PeResourceFind::damaged;
    if (entry > root_size || root_size - entry < 16) return PeResourceFind::damaged;
    std::uint32_t data_rva = u32(r, root + entry);
    std::uint32_t data_size = u32(r, root + entry + 4);
    if (r.failed) return PeResourceFind::damaged;
    std::uint64_t data_at = 0;
    if (!rva_to_offset(r, sections, data_rva, data_size, data_at)) return PeResourceFind::damaged;
    data = file.subspan(static_cast<std::size_t>(data_at), data_size);
    return PeResourceFind::found;
}

}  // namespace qvr
