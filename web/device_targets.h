// The requests the front ends make to a device's web server, and the texts
// they report when it does not answer: one place for the Windows programs
// and the terminal program.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

// The status page, read before an upgrade and after it.
inline constexpr const char STATUS_TARGET[] = "/admin/advanced";

inline constexpr const char MESSAGE_NO_RESPONSE[] = "Upgrade Failed: No Response From QVR";

// "/admin/upgrade?tftp://a.b.c.d:port<file name>": makes the device fetch
// the file from the PC's TFTP server (the name begins with "/").  Cuts to
// fit size, always NUL-terminated.
void format_upgrade_target(char* out, std::size_t size, std::uint32_t pc_address, std::uint16_t port,
                           const char* file_name);

}  // namespace qvr
