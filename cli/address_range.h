// The ranges of addresses a scan covers, as typed on the command line.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qvr::cli {

// The most addresses one scan covers, counted over all its ranges before
// duplicates are dropped: a /16 fits, a /15 does not.
inline constexpr std::size_t max_scan_addresses = 65536;

// True for an address a device can have: not in 0.0.0.0/8 (this host on
// this network) and below 224.0.0.0 (multicast, the reserved block and the
// limited broadcast 255.255.255.255).  Loopback is accepted: the tests'
// devices live there.
bool scannable_address(std::uint32_t address);

// Appends the addresses (host order, ascending) one range word stands for:
//   a.b.c.d/nn  nn from 16 to 32.  The host bits of a.b.c.d are ignored
//               (10.1.2.3/24 is 10.1.2.0/24).  Up to /30 the network's
//               first and last addresses (network and broadcast) are left
//               out; /31 gives both its addresses, /32 the one.
//   a.b.c.d-e   the last number from d to e (e from d to 255).
//   a.b.c.d     that address.
// False with the reason, one line, when the word is none of these, or any
// address it stands for is not scannable_address; out is then unchanged.
bool parse_address_range(std::string_view word, std::vector<std::uint32_t>& out, std::string& error);

// Every range's addresses, each once, in the order first named.  False
// with the reason when a word is refused or the words stand for more than
// max_scan_addresses addresses in all (nothing is expanded past the bound).
bool expand_ranges(const std::vector<std::string>& words, std::vector<std::uint32_t>& out, std::string& error);

}  // namespace qvr::cli
