// The TFTP file name: the only name the listener serves, made up afresh for
// each upgrade command so that a stale or foreign request cannot match.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

enum class TftpNameKind {
    upgrade,   // "/qvr%x.bi1": an upgrade, or the staged-upgrader's second request
    recovery,  // "/qvr%x.bin": the recovery-upgrader's recovery mode
    staged,    // "/qvr%x.bi%d": the staged-upgrader's first request, with the stage (0 or 1)
};

// Formats a name from a given number (masked to 16 bits, lowercase hex
// without leading zeros).  Cuts to fit size.
void format_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, unsigned number, std::int32_t stage);

// The same with all 32 bits of the number: the terminal program draws it
// from the operating system's random source, so that a stranger on the LAN
// cannot guess the name while the device is waited for.
void format_wide_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, std::uint32_t number,
                                std::int32_t stage);

// The same with a number drawn from the process's seeded generator (0 to 32767).
void make_tftp_file_name(char* out, std::size_t size, TftpNameKind kind, std::int32_t stage = 1);

}  // namespace qvr
