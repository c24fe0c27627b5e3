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

// Every IPv4 address this computer's interfaces hold, up or not, loopback
// included, host order, each once.
std::vector<std::uint32_t> local_addresses();

// True when `address` is one of this computer's: held by an interface, or
// inside the network of a loopback interface (127.0.0.2 is as much this
// computer's as 127.0.0.1 is).  False otherwise, with the reason in error:
// "A is not an address of this computer (it has B, C)", for --pc-address.
bool check_local_address(std::uint32_t address, std::string& error);

std::string dotted(std::uint32_t address);

}  // namespace qvr::cli
