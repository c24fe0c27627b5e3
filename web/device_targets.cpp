#include "web/device_targets.h"

#include <cstdio>

namespace qvr {

void format_upgrade_target(char* out, std::size_t size, std::uint32_t pc_address, std::uint16_t port,
                           const char* file_name) {
    if (size == 0) return;
    std::snprintf(out, size, "/admin/upgrade?tftp://%u.%u.%u.%u:%u%s", (pc_address >> 24) & 0xFF,
                  (pc_address >> 16) & 0xFF, (pc_address >> 8) & 0xFF, pc_address & 0xFF,
                  static_cast<unsigned>(port), file_name);
}

}  // namespace qvr
