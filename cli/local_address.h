// Which address of this computer talks to the device.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvr::cli {

// The source address the kernel would use to reach `device` (a UDP socket
// connected to it, which sends nothing); 0 when there is no route.
std::uint32_t route_source_address(std::uint32_t device);

// The up IPv4 addresses that are not loopback, host order.
std::vector<std::uint32_t> non_loopback_addresses();

std::string dotted(std::uint32_t address);

}  // namespace qvr::cli
