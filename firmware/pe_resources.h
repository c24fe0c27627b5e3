// Reading a resource out of a Windows executable's bytes, without Windows:
// the terminal program takes the firmware image one of our programs carries
// (resource type "QVR_FIRMWARE") straight from the .exe file.
//
// The file is untrusted input.  Every read is checked against the bytes
// given; offsets and sizes from the file never lead outside them, the
// directory is walked exactly three levels deep (type, name, language) and
// never follows a subdirectory pointer more than that, so a crafted file can
// neither loop nor read out of bounds.  What is found is a view into the
// same bytes: nothing is copied.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

namespace qvr {

enum class PeResourceFind {
    found,
    not_pe,        // no "MZ" header, no "PE\0\0" signature, or an unknown optional header
    no_resources,  // the executable has no resource directory
    not_found,     // no resource of that type and id
    damaged,       // a directory or data entry points outside the file
};

// Finds the resource of the named type (compared without regard to ASCII
// letter case, as resource compilers store names in upper case) and the
// numeric id, in its first language.  On found, data is the resource's
// bytes within file.
PeResourceFind find_pe_resource(std::span<const std::uint8_t> file, std::string_view type_name, std::uint16_t id,
                                std::span<const std::uint8_t>& data);

}  // namespace qvr
