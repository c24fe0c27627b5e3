#include "cli/local_address.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>

namespace qvr::cli {

std::uint32_t route_source_address(std::uint32_t device) {
    int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return 0;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(80);
    to.sin_addr.s_addr = htonl(device);
    std::uint32_t result = 0;
    sockaddr_in local{};
    socklen_t length = sizeof local;
    if (::connect(s, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0 &&
        ::getsockname(s, reinterpret_cast<sockaddr*>(&local), &length) == 0)
        result = ntohl(local.sin_addr.s_addr);
    ::close(s);
    return result;
}

namespace {

// The IPv4 addresses of this computer's interfaces, each once; with
// with_loopback false, only those of interfaces that are up and not
// loopback.
std::vector<std::uint32_t> interface_addresses(bool with_loopback) {
    std::vector<std::uint32_t> out;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) != 0) return out;
    for (ifaddrs* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
        if (!with_loopback && ((a->ifa_flags & IFF_UP) == 0 || (a->ifa_flags & IFF_LOOPBACK) != 0)) continue;
        std::uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
        if (!with_loopback && (address >> 24) == 127) continue;
        if (std::find(out.begin(), out.end(), address) == out.end()) out.push_back(address);
    }
    ::freeifaddrs(list);
    return out;
}

}  // namespace

std::vector<std::uint32_t> non_loopback_addresses() { return interface_addresses(false); }

std::vector<std::uint32_t> local_addresses() { return interface_addresses(true); }

bool check_local_address(std::uint32_t address, std::string& error) {
    bool found = false;
    ifaddrs* list = nullptr;
    if (::getifaddrs(&list) == 0) {
        for (ifaddrs* a = list; a != nullptr && !found; a = a->ifa_next) {
            if (a->ifa_addr == nullptr || a->ifa_addr->sa_family != AF_INET) continue;
            std::uint32_t held = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_addr)->sin_addr.s_addr);
            std::uint32_t mask = 0xFFFFFFFFu;
            if ((a->ifa_flags & IFF_LOOPBACK) != 0 && a->ifa_netmask != nullptr &&
                a->ifa_netmask->sa_family == AF_INET)
                mask = ntohl(reinterpret_cast<sockaddr_in*>(a->ifa_netmask)->sin_addr.s_addr);
            found = (address & mask) == (held & mask);
        }
        ::freeifaddrs(list);
    }
    if (found) return true;
    std::string held;
    for (std::uint32_t a : local_addresses()) held += (held.empty() ? "" : ", ") + dotted(a);
    error = dotted(address) + " is not an address of this computer (it has " + (held.empty() ? "none" : held) +
            "): give one of them with --pc-address";
    return false;
}

std::string dotted(std::uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xFF) + "." + std::to_string((a >> 8) & 0xFF) +
           "." + std::to_string(a & 0xFF);
}

}  // namespace qvr::cli
