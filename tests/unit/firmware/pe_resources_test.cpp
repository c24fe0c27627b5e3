#include "firmware/pe_resources.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>

#include "pe_builder.h"

namespace qvr {
namespace {

using pe_test::make_pe;
using pe_test::put32;
using Bytes = std::vector<std::uint8_t>;

const Bytes payload = {'S', 'q', 'U', 'o', 'R', 'e', '5', ' ', 1, 2, 3, 4, 5};

PeResourceFind find(const Bytes& file, std::uint16_t id, std::span<const std::uint8_t>& data,
                    std::string_view type = "QVR_FIRMWARE") {
    return find_pe_resource(file, type, id, data);
}

TEST(PeResources, FindsTheResourceInPe32AndPe32Plus) {
    for (bool plus : {false, true}) {
        pe_test::PeLayout layout;
        Bytes file = make_pe(plus, "QVR_FIRMWARE", 112, payload, &layout);
        std::span<const std::uint8_t> data;
        ASSERT_EQ(find(file, 112, data), PeResourceFind::found) << plus;
        EXPECT_EQ(data.data(), file.data() + layout.data) << "a view into the file, not a copy";
        EXPECT_EQ(Bytes(data.begin(), data.end()), payload);
        EXPECT_EQ(find(file, 112, data, "qvr_firmware"), PeResourceFind::found) << "names compared without case";
        EXPECT_EQ(find(file, 726, data), PeResourceFind::not_found);
        EXPECT_EQ(find(file, 112, data, "QVR_FIRMWAR"), PeResourceFind::not_found);
        EXPECT_EQ(find(file, 112, data, "RCDATA"), PeResourceFind::not_found);
    }
}

TEST(PeResources, RefusesWhatIsNotAnExecutableWithResources) {
    std::span<const std::uint8_t> data;
    EXPECT_EQ(find(Bytes{}, 112, data), PeResourceFind::not_pe);
    EXPECT_EQ(find(Bytes(payload), 112, data), PeResourceFind::not_pe);
    Bytes file = make_pe(true, "QVR_FIRMWARE", 112, payload);
    Bytes no_signature = file;
    no_signature[0x40] = 'X';
    EXPECT_EQ(find(no_signature, 112, data), PeResourceFind::not_pe);
    Bytes unknown_magic = file;
    unknown_magic[0x44 + 20] = 0x07;
    EXPECT_EQ(find(unknown_magic, 112, data), PeResourceFind::not_pe);
    Bytes few_directories = file;
    put32(few_directories, 0x44 + 20 + 108, 2);  // no resource directory among them
    EXPECT_EQ(find(few_directories, 112, data), PeResourceFind::no_resources);
    Bytes no_rsrc = file;
    put32(no_rsrc, 0x44 + 20 + 108 + 4 + 16, 0);  // resource RVA 0
    EXPECT_EQ(find(no_rsrc, 112, data), PeResourceFind::no_resources);
}

// Pointers from the file that lead outside it, or outside the resource
// section, are refused instead of followed.
TEST(PeResources, DamagedPointersAreRefused) {
    pe_test::PeLayout layout;
    const Bytes file = make_pe(false, "QVR_FIRMWARE", 112, payload, &layout);
    std::span<const std::uint8_t> data;
    Bytes too_long = file;
    put32(too_long, layout.data_entry + 4, static_cast<std::uint32_t>(payload.size() + 1));
    EXPECT_EQ(find(too_long, 112, data), PeResourceFind::damaged);
    Bytes huge = file;
    put32(huge, layout.data_entry + 4, 0xFFFFFFF0u);
    EXPECT_EQ(find(huge, 112, data), PeResourceFind::damaged);
    Bytes wild_rva = file;
    put32(wild_rva, layout.data_entry, 0xFFFFFFF0u);
    EXPECT_EQ(find(wild_rva, 112, data), PeResourceFind::damaged);
    Bytes wild_directory = file;
    put32(wild_directory, layout.resource_root + 20, 0x80000000u | 0x7FFFFFF0u);
    EXPECT_EQ(find(wild_directory, 112, data), PeResourceFind::damaged);
    Bytes leaf_too_early = file;
    put32(leaf_too_early, layout.resource_root + 20, 72);  // the type level pointing at a data entry
    EXPECT_EQ(find(leaf_too_early, 112, data), PeResourceFind::damaged);
    Bytes many_entries = file;
    many_entries[layout.resource_root + 14] = 0xFF;  // 255 more entries than the section holds
    EXPECT_EQ(find(many_entries, 112, data), PeResourceFind::damaged);

    // Every shorter file: never found, never a read past its end (the
    // sanitizers watch).
    for (std::size_t n = 0; n < file.size(); ++n) {
        Bytes cut(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(find(cut, 112, data), PeResourceFind::found) << n;
    }
}

// The programs we build carry the sample image under their ids.
TEST(PeResources, ReadsTheBuiltPrograms) {
    const std::string bin = std::string(QVR_SOURCE_DIR) + "/build/win64/bin/";
    std::ifstream sample_file(QVR_SAMPLE_IMAGE, std::ios::binary);
    const Bytes sample((std::istreambuf_iterator<char>(sample_file)), {});
    for (auto [program, id] : {std::pair("staged-upgrader.exe", 726), std::pair("recovery-upgrader.exe", 112)}) {
        std::ifstream in(bin + program, std::ios::binary);
        if (!in) GTEST_SKIP() << "build the Windows programs first";
        const Bytes exe((std::istreambuf_iterator<char>(in)), {});
        std::span<const std::uint8_t> data;
        ASSERT_EQ(find(exe, static_cast<std::uint16_t>(id), data), PeResourceFind::found) << program;
        EXPECT_TRUE(Bytes(data.begin(), data.end()) == sample) << program;
        EXPECT_EQ(find(exe, 319, data), PeResourceFind::not_found) << program;
    }
}

}  // namespace
}  // namespace qvr
