// The thin socket layer: Winsock on Windows, BSD sockets natively.
//
// Portable code talks to the network only through these calls, so the same
// HTTP and TFTP loops are built into the Windows programs and into the native
// tests, which run them over loopback.  Addresses and ports cross this
// interface in host byte order, as unsigned 32- and 16-bit numbers; 0 as an
// address means "any local address".
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

#ifdef _WIN32
using SocketHandle = std::uintptr_t;  // SOCKET
inline constexpr SocketHandle invalid_socket = ~static_cast<SocketHandle>(0);
#else
using SocketHandle = int;
inline constexpr SocketHandle invalid_socket = -1;
#endif

// An IPv4 socket address laid out as the system's sockaddr_in (16 bytes):
// family, port and address in network byte order, eight bytes of zero.
struct Ipv4SocketAddress {
    std::uint16_t family;
    std::uint16_t port_be;
    std::uint32_t address_be;
    std::uint8_t zero[8];
};
static_assert(sizeof(Ipv4SocketAddress) == 16, "IPv4 socket address is 16 bytes");

// Fills an IPv4 socket address from a host-order address (0: wildcard) and port.
void make_address(std::uint32_t address, std::uint16_t port, Ipv4SocketAddress& out);
// The host-order address and port of an IPv4 socket address.
void split_address(const Ipv4SocketAddress& in, std::uint32_t& address, std::uint16_t& port);

// Starts the socket library (WSAStartup with the given version on Windows,
// nothing natively).  False when it cannot be started.
bool start_socket_library(std::uint8_t major, std::uint8_t minor);

SocketHandle open_tcp_socket();
SocketHandle open_udp_socket();
void close_socket(SocketHandle s);
// Stops receiving on the socket (shutdown for reading); nothing else.
void shutdown_receiving(SocketHandle s);

// The error code of the calling thread's last failed socket call
// (WSAGetLastError on Windows, errno natively), for the messages that show it.
int last_socket_error();

bool bind_socket(SocketHandle s, std::uint32_t address, std::uint16_t port);
// Blocking connect; the platform's own connect time-out applies.
bool connect_socket(SocketHandle s, std::uint32_t address, std::uint16_t port);
// A connect that gives up after timeout_ms: the socket is non-blocking
// while it waits and blocking again afterwards.  False when the connect
// failed or the time ran out (last_socket_error then says which, timed_out
// too).
bool connect_socket_within(SocketHandle s, std::uint32_t address, std::uint16_t port, unsigned timeout_ms,
                           bool& timed_out);
bool set_nonblocking(SocketHandle s, bool on);

// Stream send and receive.  Results as the system's: bytes, 0 at an orderly
// close (receive), negative on an error.
int send_bytes(SocketHandle s, const void* data, std::size_t length);
int receive_bytes(SocketHandle s, void* buffer, std::size_t capacity);

// Datagram send.  Returns the bytes sent or a negative value.
int send_datagram(SocketHandle s, const void* data, std::size_t length,
                  std::uint32_t address, std::uint16_t port);
// Datagram receive.  Returns the datagram's length (0 to capacity) with the
// sender's host-order address and port, or a negative value when nothing was
// waiting, on an error, and when the datagram was larger than capacity (it
// is then discarded, as Windows does; nothing past capacity is written).
int receive_datagram(SocketHandle s, void* buffer, std::size_t capacity,
                     std::uint32_t& from_address, std::uint16_t& from_port);

// Waits up to timeout_ms for the socket to become readable.  1 readable,
// 0 timed out, negative on an error.  Used in place of a blind 1 ms sleep so
// that a packet is handled the moment it arrives.
int wait_readable(SocketHandle s, int timeout_ms);
// The same for room to send.
int wait_writable(SocketHandle s, int timeout_ms);

// Joins a multicast group (host order) on the interface with the given local
// address, and makes that address the interface for outgoing multicast.
bool join_multicast_group(SocketHandle s, std::uint32_t group, std::uint32_t interface_address);

// Asks that what this socket sends to a group it joined is not echoed back
// to this host (Windows only; a no-op natively).
void stop_own_multicast_echo(SocketHandle s);

// The option numbers this layer passes for the membership request and the
// outgoing interface, as the linked socket library defines them.  In the
// Windows build they are pinned to ws2_32's 12 and 9 by a static_assert in
// socket.cpp and by tests/integration/resources/test_executables.py,
// which reads both built programs back: socket calls imported from ws2_32
// alone, and these two functions returning 12 and 9.
int multicast_membership_option();
int multicast_interface_option();

// The PC's IPv4 addresses, host order, from a lookup of its own host name, in
// the order the lookup returns them; at most capacity entries.  Returns the
// number stored; the rest of out is zeroed.
std::size_t list_local_addresses(std::uint32_t* out, std::size_t capacity);

// The copy step of list_local_addresses, apart so it can be tested: takes a
// host entry's null-terminated list of 4-byte network-order addresses.
std::size_t copy_host_addresses(const char* const* address_list, std::uint32_t* out, std::size_t capacity);

}  // namespace qvr
