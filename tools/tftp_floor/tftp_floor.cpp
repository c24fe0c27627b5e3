// tftp_floor.exe LOCAL-ADDRESS PORT IMAGE [GROUP]
//
// Serves IMAGE to the first read request that reaches LOCAL-ADDRESS:PORT,
// whatever file it names: the OACK with "tsize" and "timeout" "5", then the
// image in 512-byte DATA blocks, each sent when the one before is
// acknowledged by the requester's address and port.  With GROUP the OACK
// and the blocks go to that multicast group on the requester's port, as the
// recovery-upgrader sends them.  No answer within 100 ms: the last packet
// again, at most 50 times in a row.  Prints "ready" once bound and
// "done BLOCKS" (or "failed: ...") at the end; exit code 0 only when every
// block was acknowledged.
//
// Per block it makes one sendto and one blocking recvfrom: that is the least
// a lock-step server can do through Winsock, and what it costs under Wine is
// the floor the benchmark compares the programs with.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

constexpr int block_size = 512;
constexpr DWORD retransmit_ms = 100;
constexpr int retries_in_a_row = 50;

int fail(const char* what) {
    std::printf("failed: %s (%d)\n", what, WSAGetLastError());
    std::fflush(stdout);
    return 1;
}

bool read_file(const char* path, std::vector<char>& out) {
    std::FILE* f = std::fopen(path, "rb");
    if (f == nullptr) return false;
    char chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) out.insert(out.end(), chunk, chunk + n);
    std::fclose(f);
    return true;
}

unsigned get_u16(const char* p) {
    return static_cast<unsigned>(static_cast<unsigned char>(p[0])) << 8 | static_cast<unsigned char>(p[1]);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 4 || argc > 5) {
        std::printf("usage: tftp_floor LOCAL-ADDRESS PORT IMAGE [GROUP]\n");
        return 2;
    }
    std::vector<char> image;
    if (!read_file(argv[3], image)) {
        std::printf("failed: cannot read %s\n", argv[3]);
        return 1;
    }
    WSADATA wsa;
    if (WSAStartup(MAKEWORD(2, 2), &wsa) != 0) return fail("WSAStartup");
    SOCKET s = socket(AF_INET, SOCK_DGRAM, 0);
    if (s == INVALID_SOCKET) return fail("socket");
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_port = htons(static_cast<u_short>(std::atoi(argv[2])));
    local.sin_addr.s_addr = inet_addr(argv[1]);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) return fail("bind");
    in_addr group{};
    if (argc == 5) {
        group.s_addr = inet_addr(argv[4]);
        if (setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, reinterpret_cast<const char*>(&local.sin_addr),
                       sizeof local.sin_addr) != 0)
            return fail("IP_MULTICAST_IF");
    }
    std::printf("ready\n");
    std::fflush(stdout);

    char packet[1024];
    sockaddr_in peer{};
    int peer_length = sizeof peer;
    for (;;) {  // the request: no time-out, the benchmark kills a floor left waiting
        int n = recvfrom(s, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&peer), &peer_length);
        if (n >= 2 && get_u16(packet) == 1) break;
        peer_length = sizeof peer;
    }
    DWORD timeout = retransmit_ms;
    if (setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout), sizeof timeout) != 0)
        return fail("SO_RCVTIMEO");

    sockaddr_in destination = peer;
    if (argc == 5) destination.sin_addr = group;
    const unsigned size = static_cast<unsigned>(image.size());
    const unsigned block_count = size / block_size + 1;

    // The OACK, as the programs send it.
    char out[4 + block_size];
    int out_length = 2;
    out[0] = 0;
    out[1] = 6;
    out_length += std::snprintf(out + out_length, sizeof out - out_length, "tsize%c%u%ctimeout%c5", 0, size, 0, 0) + 1;

    unsigned expected = 0;  // the block whose ACK comes next (0: the OACK's)
    int retries = 0;
    for (;;) {
        sendto(s, out, out_length, 0, reinterpret_cast<sockaddr*>(&destination), sizeof destination);
        for (;;) {
            sockaddr_in from{};
            int from_length = sizeof from;
            char in[1024];
            int n = recvfrom(s, in, sizeof in, 0, reinterpret_cast<sockaddr*>(&from), &from_length);
            if (n < 0) {
                if (WSAGetLastError() != WSAETIMEDOUT) continue;
                if (++retries > retries_in_a_row) return fail("no ACK");
                break;  // send the same packet again
            }
            if (from.sin_addr.s_addr != peer.sin_addr.s_addr || from.sin_port != peer.sin_port) continue;
            if (n < 4 || get_u16(in) != 4 || get_u16(in + 2) != (expected & 0xFFFFu)) continue;
            retries = 0;
            if (++expected > block_count) {
                std::printf("done %u\n", block_count);
                std::fflush(stdout);
                closesocket(s);
                return 0;
            }
            unsigned offset = (expected - 1) * block_size;
            unsigned length = expected == block_count ? size % block_size : block_size;
            out[0] = 0;
            out[1] = 3;
            out[2] = static_cast<char>(expected >> 8 & 0xFF);
            out[3] = static_cast<char>(expected & 0xFF);
            std::memcpy(out + 4, image.data() + offset, length);
            out_length = 4 + static_cast<int>(length);
            break;
        }
    }
}
