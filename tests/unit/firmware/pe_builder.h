// A small Windows executable written byte by byte for the tests: DOS
// header, PE signature, COFF header, optional header (PE32 or PE32+) with
// the resource directory entry, one ".rsrc" section holding one resource of
// a named type and numeric id.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::pe_test {

struct PeLayout {
    std::size_t resource_root;  // file offset of the resource directory
    std::size_t data_entry;     // file offset of the resource's data entry
    std::size_t data;           // file offset of the resource's bytes
};

inline void put16(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    f[at] = static_cast<std::uint8_t>(v);
    f[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
inline void put32(std::vector<std::uint8_t>& f, std::size_t at, std::uint32_t v) {
    put16(f, at, v & 0xFFFF);
    put16(f, at + 2, v >> 16);
}

inline std::vector<std::uint8_t> make_pe(bool plus, const std::string& type, std::uint16_t id,
                                         const std::vector<std::uint8_t>& payload, PeLayout* layout = nullptr) {
    constexpr std::uint32_t section_rva = 0x1000;
    constexpr std::size_t raw_at = 0x200;
    const std::size_t optional_size = plus ? 240 : 224;
    // The resource section: root, type, name and language directories (one
    // entry each), the data entry, the type's name, then the bytes.
    const std::size_t name_at = 88, data_at = (name_at + 2 + 2 * type.size() + 3) & ~std::size_t{3};
    const std::size_t section_size = data_at + payload.size();
    std::vector<std::uint8_t> f(raw_at + section_size, 0);
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);                          // e_lfanew
    f[0x40] = 'P';
    f[0x41] = 'E';                                 // "PE\0\0"
    const std::size_t coff = 0x44;
    put16(f, coff, plus ? 0x8664 : 0x14C);          // machine
    put16(f, coff + 2, 1);                         // one section
    put16(f, coff + 16, static_cast<std::uint32_t>(optional_size));
    const std::size_t optional = coff + 20;
    put16(f, optional, plus ? 0x20B : 0x10B);      // magic
    const std::size_t count = optional + (plus ? 108 : 92);
    put32(f, count, 16);                           // NumberOfRvaAndSizes
    put32(f, count + 4 + 2 * 8, section_rva);      // resource directory: RVA
    put32(f, count + 4 + 2 * 8 + 4, static_cast<std::uint32_t>(section_size));
    const std::size_t section = optional + optional_size;
    const char name[8] = {'.', 'r', 's', 'r', 'c'};
    for (int i = 0; i < 8; ++i) f[section + i] = static_cast<std::uint8_t>(name[i]);
    put32(f, section + 8, static_cast<std::uint32_t>(section_size));   // VirtualSize
    put32(f, section + 12, section_rva);                                // VirtualAddress
    put32(f, section + 16, static_cast<std::uint32_t>(section_size));  // SizeOfRawData
    put32(f, section + 20, raw_at);                                     // PointerToRawData

    const std::size_t r = raw_at;
    put16(f, r + 12, 1);                                                // root: one named entry
    put32(f, r + 16, 0x80000000u | name_at);                           //   its name
    put32(f, r + 20, 0x80000000u | 24);                                //   the type directory
    put16(f, r + 24 + 14, 1);                                           // type: one id entry
    put32(f, r + 40, id);
    put32(f, r + 44, 0x80000000u | 48);                                //   the language directory
    put16(f, r + 48 + 14, 1);                                           // language: one id entry
    put32(f, r + 64, 1033);
    put32(f, r + 68, 72);                                               //   the data entry
    put32(f, r + 72, section_rva + static_cast<std::uint32_t>(data_at));  // data: RVA
    put32(f, r + 76, static_cast<std::uint32_t>(payload.size()));       //       size
    put16(f, r + name_at, static_cast<std::uint32_t>(type.size()));    // the type's name, UTF-16LE
    for (std::size_t i = 0; i < type.size(); ++i) put16(f, r + name_at + 2 + 2 * i, static_cast<std::uint8_t>(type[i]));
    for (std::size_t i = 0; i < payload.size(); ++i) f[r + data_at + i] = payload[i];
    if (layout) *layout = PeLayout{r, r + 72, r + data_at};
    return f;
}

}  // namespace qvr::pe_test
