// Socket back end: Winsock on Windows, BSD sockets natively.
//
// Windows: one interface only, winsock2.h/ws2tcpip.h with ws2_32, so the
// multicast option numbers are those of the library we link (the older
// winsock.h numbers 5 and 2 are refused by ws2_32 on real Windows, although
// Wine accepts them).
#include "platform/socket.h"

#ifdef _WIN32
#include <winsock2.h>
#include <ws2tcpip.h>
static_assert(IP_ADD_MEMBERSHIP == 12 && IP_MULTICAST_IF == 9 && IP_MULTICAST_LOOP == 11,
              "ws2tcpip.h option numbers expected; winsock.h's 5, 2 and 4 fail on ws2_32");
using SockLen = int;
using OptionValue = const char*;
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
using SockLen = socklen_t;
using OptionValue = const void*;
#endif

#include <cerrno>
#include <cstring>

namespace qvr {

namespace {
sockaddr_in to_sockaddr(std::uint32_t address, std::uint16_t port) {
    Ipv4SocketAddress a;
    make_address(address, port, a);
    sockaddr_in sa;
    std::memset(&sa, 0, sizeof sa);
    sa.sin_family = AF_INET;
    sa.sin_port = a.port_be;
    sa.sin_addr.s_addr = a.address_be;
    return sa;
}
}  // namespace

bool start_socket_library(std::uint8_t major, std::uint8_t minor) {
#ifdef _WIN32
    WSADATA data;
    return ::WSAStartup(MAKEWORD(major, minor), &data) == 0;
#else
    (void)major;
    (void)minor;
    return true;
#endif
}

SocketHandle open_tcp_socket() { return ::socket(AF_INET, SOCK_STREAM, 0); }
SocketHandle open_udp_socket() { return ::socket(AF_INET, SOCK_DGRAM, 0); }

void close_socket(SocketHandle s) {
    if (s == invalid_socket) return;
#ifdef _WIN32
    ::closesocket(s);
#else
    ::close(s);
#endif
}

void shutdown_receiving(SocketHandle s) {
#ifdef _WIN32
    ::shutdown(s, SD_RECEIVE);
#else
    ::shutdown(s, SHUT_RD);
#endif
}

int last_socket_error() {
#ifdef _WIN32
    return ::WSAGetLastError();
#else
    return errno;
#endif
}

bool bind_socket(SocketHandle s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = to_sockaddr(address, port);
    return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool connect_socket(SocketHandle s, std::uint32_t address, std::uint16_t port) {
    sockaddr_in sa = to_sockaddr(address, port);
    return ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
}

bool connect_socket_within(SocketHandle s, std::uint32_t address, std::uint16_t port, unsigned timeout_ms,
                           bool& timed_out) {
    timed_out = false;
    if (!set_nonblocking(s, true)) return false;
    sockaddr_in sa = to_sockaddr(address, port);
    bool connected = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    if (!connected) {
#ifdef _WIN32
        bool pending = ::WSAGetLastError() == WSAEWOULDBLOCK;
#else
        bool pending = errno == EINPROGRESS;
#endif
        if (pending) {
            int ready = wait_writable(s, static_cast<int>(timeout_ms));
            if (ready == 0) timed_out = true;
            if (ready > 0) {
                int error = 0;
                SockLen length = sizeof error;
                connected = ::getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length) == 0 &&
                            error == 0;
#ifndef _WIN32
                if (!connected && error != 0) errno = error;
#endif
            }
        }
    }
    return set_nonblocking(s, false) && connected;
}

bool set_nonblocking(SocketHandle s, bool on) {
#ifdef _WIN32
    u_long arg = on ? 1 : 0;
    return ::ioctlsocket(s, FIONBIO, &arg) == 0;
#else
    int flags = ::fcntl(s, F_GETFL, 0);
    if (flags < 0) return false;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return ::fcntl(s, F_SETFL, flags) == 0;
#endif
}

int send_bytes(SocketHandle s, const void* data, std::size_t length) {
#ifdef _WIN32
    return ::send(s, static_cast<const char*>(data), static_cast<int>(length), 0);
#else
    return static_cast<int>(::send(s, data, length, MSG_NOSIGNAL));
#endif
}

int receive_bytes(SocketHandle s, void* buffer, std::size_t capacity) {
    return static_cast<int>(::recv(s, static_cast<char*>(buffer), static_cast<int>(capacity), 0));
}

int send_datagram(SocketHandle s, const void* data, std::size_t length, std::uint32_t address,
                  std::uint16_t port) {
    sockaddr_in sa = to_sockaddr(address, port);
    return static_cast<int>(::sendto(s, static_cast<const char*>(data), static_cast<int>(length), 0,
                                     reinterpret_cast<sockaddr*>(&sa), sizeof sa));
}

int receive_datagram(SocketHandle s, void* buffer, std::size_t capacity, std::uint32_t& from_address,
                     std::uint16_t& from_port) {
    sockaddr_in sa;
    SockLen len = sizeof sa;
    std::memset(&sa, 0, sizeof sa);
#ifdef _WIN32
    // An oversized datagram fails with WSAEMSGSIZE; a datagram of ours that
    // drew an ICMP port-unreachable makes the next call fail with
    // WSAECONNRESET.  Both are idle polls to the caller.
    int flags = 0;
#else
    // MSG_TRUNC reports the datagram's real length, so an oversized one is
    // refused as on Windows instead of being taken cut short.
    int flags = MSG_TRUNC;
#endif
    long n = ::recvfrom(s, static_cast<char*>(buffer), static_cast<int>(capacity), flags,
                        reinterpret_cast<sockaddr*>(&sa), &len);
    if (n < 0 || static_cast<std::size_t>(n) > capacity) return -1;
    Ipv4SocketAddress a;
    std::memcpy(&a, &sa, sizeof a);
    split_address(a, from_address, from_port);
    return static_cast<int>(n);
}

namespace {

// One wait for a datagram (or bytes) to read, or for room to send.
int wait_for_socket(SocketHandle s, int timeout_ms, bool sending) {
#ifdef _WIN32
    fd_set set;
    FD_ZERO(&set);
    FD_SET(s, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(s, &failed);
    timeval tv{timeout_ms / 1000, (timeout_ms % 1000) * 1000};
    // Windows reports a failed connect in the exception set, not as writable.
    int r = sending ? ::select(0, nullptr, &set, &failed, &tv) : ::select(0, &set, nullptr, nullptr, &tv);
#else
    pollfd p{s, static_cast<short>(sending ? POLLOUT : POLLIN), 0};
    int r = ::poll(&p, 1, timeout_ms);
#endif
    if (r < 0) return -1;
    return r > 0 ? 1 : 0;
}

}  // namespace

int wait_readable(SocketHandle s, int timeout_ms) { return wait_for_socket(s, timeout_ms, false); }

int wait_writable(SocketHandle s, int timeout_ms) { return wait_for_socket(s, timeout_ms, true); }

int multicast_membership_option() { return IP_ADD_MEMBERSHIP; }
int multicast_interface_option() { return IP_MULTICAST_IF; }

bool join_multicast_group(SocketHandle s, std::uint32_t group, std::uint32_t interface_address) {
    Ipv4SocketAddress g, i;
    make_address(group, 0, g);
    make_address(interface_address, 0, i);
    ip_mreq m;
    m.imr_multiaddr.s_addr = g.address_be;
    m.imr_interface.s_addr = i.address_be;
    if (::setsockopt(s, IPPROTO_IP, multicast_membership_option(), reinterpret_cast<OptionValue>(&m),
                     sizeof m) != 0)
        return false;
    // Send on the address the user picked, not on whatever interface the
    // routing table prefers on a PC with several addresses.
    in_addr out;
    out.s_addr = i.address_be;
    return ::setsockopt(s, IPPROTO_IP, multicast_interface_option(), reinterpret_cast<OptionValue>(&out),
                        sizeof out) == 0;
}

void stop_own_multicast_echo(SocketHandle s) {
#ifdef _WIN32
    // Windows echoes every datagram this host sends to a group it has
    // joined back through the loopback path, and Wine's sockets (Linux's,
    // where the option is the sender's) do the same: in recovery that is
    // one more copy made, and delivered nowhere, per DATA block.  The
    // device is another host and gets everything all the same.  Natively
    // the option stays on: there it is the sender's, and a device on this
    // host (the tests' simulated one) needs the echo.  A refusal only costs
    // that copy.
    DWORD off = 0;
    ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, reinterpret_cast<OptionValue>(&off), sizeof off);
#else
    (void)s;
#endif
}

std::size_t list_local_addresses(std::uint32_t* out, std::size_t capacity) {
    for (std::size_t i = 0; i < capacity; ++i) out[i] = 0;
    char name[128] = {};
    if (::gethostname(name, sizeof name - 1) != 0) return 0;
    hostent* h = ::gethostbyname(name);
    if (h == nullptr || h->h_addrtype != AF_INET || h->h_length != 4) return 0;
    return copy_host_addresses(h->h_addr_list, out, capacity);
}

}  // namespace qvr
