// The HTTP exchange: the pure parts (challenge test, label extraction,
// request text) as calls, and the exchange itself against small servers on
// loopback that send scripted responses.
#include "web/http_exchange.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "common/build_deliverable.h"
#include "common/text.h"
#include "web/exchange_space.h"

namespace qvr {
namespace {

using namespace std::string_literals;

constexpr std::uint32_t loopback = 0x7F000001u;

// 127.10.x.n (recovery) or 127.11.x.n (staged), x from the process id: each
// test binds its own local address n, so the two test programs, parallel
// tests and other runs of the suite never compete for the ports 23456 and up.
std::uint32_t pc(unsigned n) {
    return (127u << 24) | ((is_recovery_upgrader ? 10u : 11u) << 16) | ((1u + ::getpid() % 250u) << 8) | n;
}

TEST(StatusPage, ExtractLabelledValue) {
    const std::string long_value(200, 'v');
    const struct {
        std::string text;
        bool found;
        std::string value;  // the field afterwards; "before" when unchanged
    } cases[] = {
        {"<tr><td>Product Name:</td><td>QVR7x7g</td></tr>", true, "QVR7x7g"},
        {"Product Name: plain <b>bold</b> rest", true, "bold"},
        {"Product Name:</td><td><b>QVR7x7g</b>", true, "QVR7x7g"},  // every tag before the value skipped
        {"Product Name:<td>" + long_value + "</td>", true, long_value.substr(0, 127)},
        {"Product Name:</td>\n<td>next</td>", true, "\n"},
        {"Product Name:</td> \r\n 1.2 &amp; 3 \r\n<", true, " \r\n 1.2 &amp; 3 \r\n"},
        {"Product Name:>", true, ""},
        {"x\0y Product Name:<\0>a\0b"s, true, "a"},  // a NUL is a byte like any other
        {"<td>Product Name:", false, "before"},
        {"Product Name:</td><td", false, "before"},
        {"product name:<td>x", false, "before"},
    };
    for (const auto& c : cases) {
        char field[identity_field_size];
        copy_text(field, "before");
        EXPECT_EQ(extract_labelled_value(c.text, "Product Name:", field), c.found) << c.text;
        EXPECT_EQ(std::string(field, c.value.size() + 1), c.value + '\0') << c.text;
    }
}

// found: find_digest_challenge sees a 401 with the header; usable: the
// challenge in it also names a realm and a nonce, and only then is it read.
TEST(StatusPage, DigestChallengeIsFoundThenRead) {
    const std::string challenge = "WWW-Authenticate: Digest realm=\"QVR\", nonce=\"abc\"\r\n\r\n";
    const struct {
        std::string text;
        bool found, usable;
    } cases[] = {
        {"HTTP/1.1 401 Unauthorized\r\n" + challenge, true, true},
        {"HTTP/1.1 \t 401 Unauthorized\r\n" + challenge, true, true},
        {"HTTP/1.1_401\r\n" + challenge, true, true},  // the ninth character is not examined
        {"HTTP/1.0 401 Unauthorized\r\n" + challenge, false, false},
        {"http/1.1 401 Unauthorized\r\n" + challenge, false, false},
        {"HTTP/1.1 200 OK\r\n" + challenge, false, false},
        {"HTTP/1.1 407 Proxy Authentication Required\r\n" + challenge, false, false},
        {"HTTP/1.1 401 Unauthorized\r\nwww-authenticate: Digest realm=\"QVR\", nonce=\"abc\"", false, false},
        {"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QVR\"", true, false},
        {"HTTP/1.1", false, false},
    };
    for (const auto& c : cases) {
        const std::string_view found = find_digest_challenge(c.text);
        EXPECT_EQ(found.rfind("WWW-Authenticate:", 0) == 0, c.found) << c.text;
        if (c.found) {
            EXPECT_EQ(found.data() + found.size(), c.text.data() + c.text.size()) << "runs to the end";
        }
        DigestState state{};
        copy_text(state.nonce, "before");
        const DigestState kept = state;
        EXPECT_EQ(read_digest_challenge(c.text, state), c.usable) << c.text;
        EXPECT_STREQ(state.nonce, c.usable ? "abc" : "before") << c.text;
        // An answer that is no challenge leaves every field as it was.
        if (!c.found) {
            EXPECT_EQ(std::memcmp(&state, &kept, sizeof state), 0) << c.text;
        }
    }
}

// A request that does not fit with its NUL is not composed, nor counted.
TEST(StatusPage, RequestThatDoesNotFit) {
    DigestState state{};
    copy_text(state.password, "pw");
    copy_text(state.qop, "auth");
    char buffer[2048];
    const std::size_t n = compose_http_request(state, "/admin/advanced", buffer, sizeof buffer);
    EXPECT_EQ(compose_http_request(state, "/admin/advanced", buffer, n + 1), n) << "fits exactly";
    EXPECT_EQ(state.nc, 2u);
    EXPECT_EQ(compose_http_request(state, "/admin/advanced", buffer, n), 0u);
    EXPECT_STREQ(buffer, "");
    EXPECT_EQ(state.nc, 2u);
}

// A TCP socket on 127.0.0.1 at a port of its own, listening or not.
int loopback_socket(bool listening, std::uint16_t& port) {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(loopback);
    socklen_t len = sizeof a;
    EXPECT_EQ(::bind(s, reinterpret_cast<sockaddr*>(&a), len), 0);
    if (listening) ::listen(s, 4);
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    port = ntohs(a.sin_port);
    return s;
}

// Accepts one connection, reads the request head, sends the chunks (pausing
// between them when asked; a held server first waits until released, as a
// device busy writing its flash) and closes.  Every wait is bounded.
struct ScriptedServer {
    std::uint16_t port = 0, peer_port = 0;
    int listener = loopback_socket(true, port);
    std::string request;
    std::atomic<bool> heard{false};  // the request has been read
    std::atomic<bool> released;
    std::thread thread;

    explicit ScriptedServer(const std::vector<std::string>& chunks, int pause_ms = 0, bool held = false)
        : released(!held), thread([this, chunks, pause_ms] {
              pollfd p{listener, POLLIN, 0};
              if (::poll(&p, 1, 10000) != 1) return;
              sockaddr_in peer{};
              socklen_t peer_len = sizeof peer;
              int s = ::accept(listener, reinterpret_cast<sockaddr*>(&peer), &peer_len);
              peer_port = ntohs(peer.sin_port);
              char piece[4096];
              for (pollfd q{s, POLLIN, 0}; request.find("\r\n\r\n") == std::string::npos && ::poll(&q, 1, 10000) == 1;) {
                  long n = ::recv(s, piece, sizeof piece, 0);
                  if (n <= 0) break;
                  request.append(piece, static_cast<std::size_t>(n));
              }
              heard = true;
              for (int i = 0; i < 1000 && !released; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
              for (const std::string& chunk : chunks) {
                  ::send(s, chunk.data(), chunk.size(), MSG_NOSIGNAL);
                  std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
              }
              ::close(s);
          }) {}
    // The request, once it has been read (bounded wait).
    const std::string& wait_for_request() {
        for (int i = 0; i < 1000 && !heard; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_TRUE(heard) << "no request came";
        return request;
    }
    ~ScriptedServer() {
        released = true;
        thread.join();
        ::close(listener);
    }
};

struct Exchange {
    std::int32_t result;
    std::vector<char> buffer;
    HttpOutcome outcome;
};

Exchange exchange(std::uint32_t local, std::uint16_t port, DigestState& digest, IdentityFields& identity,
                  unsigned deadline_ms = 0) {
    Exchange e{0, std::vector<char>(page_capacity + 1, 'Z'), HttpOutcome{}};
    e.result = http_exchange(build_rules, local, http_base_port, loopback, port, "/admin/advanced", e.buffer.data(),
                             page_capacity, digest, identity, nullptr, &e.outcome, deadline_ms);
    return e;
}

const std::string status_page =
    "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\r\n<table>"
    "<tr><td>Product Name:</td><td>QVR7x7g</td></tr><tr><td>MAC Address:</td><td>00:0E:08:AA:BB:CC</td></tr>"
    "<tr><td>Software Version:</td><td>7.5.5</td></tr><tr><td>Hardware Version:</td><td>1.0</td></tr>"
    "<tr><td>Serial Number:</td><td>QVR0A1B2C3</td></tr></table>";

// A first request draws a challenge, the repeat carries the Authorization
// line and gets the page.
TEST(HttpExchange, ChallengeThenPage) {
    DigestState digest{};
    IdentityFields identity{};
    {
        ScriptedServer server({"HTTP/1.1 401 Unauthorized\r\nWWW-Authenticate: Digest realm=\"QVR\", nonce=\"n-1\", "
                               "qop=\"auth\"\r\nContent-Length: 0\r\n\r\n"});
        EXPECT_EQ(exchange(pc(1), server.port, digest, identity).result, -1);
        EXPECT_EQ(server.request, "GET /admin/advanced HTTP/1.1\r\nHost: 192.168.2.110\r\n\r\n");
        EXPECT_STREQ(digest.nonce, "n-1");
        EXPECT_STREQ(identity.product_name, "");
    }
    copy_text(digest.username, "admin");
    copy_text(digest.password, "secret");
    ScriptedServer server({status_page});
    Exchange e = exchange(pc(1), server.port, digest, identity);
    EXPECT_EQ(e.result, static_cast<std::int32_t>(status_page.size()));
    EXPECT_EQ(std::string(e.buffer.data()), status_page);
    EXPECT_EQ(server.request.find("GET /admin/advanced HTTP/1.1\r\nHost: 192.168.2.110\r\nAuthorization: Digest "
                                  "username=\"admin\",realm=\"QVR\",nonce=\"n-1\",uri=\"/admin/advanced\","
                                  "algorithm=\"\",response=\""),
              0u);
    EXPECT_NE(server.request.find(",qop=auth,nc=000000001,cnonce=\""), std::string::npos);
    EXPECT_EQ(server.request.substr(server.request.size() - 5), "\"\r\n\r\n");
    EXPECT_STREQ(identity.product_name, "QVR7x7g");
    EXPECT_STREQ(identity.mac_address, "00:0E:08:AA:BB:CC");
    EXPECT_STREQ(identity.software_version, "7.5.5");
    EXPECT_STREQ(identity.hardware_version, "1.0");
    EXPECT_STREQ(identity.serial_number, "QVR0A1B2C3");
}

// Nothing, a trickle, binary bytes, and a response that crosses the page
// capacity (131071 bytes: the rest is not read); a field whose label is
// absent keeps its value.
TEST(HttpExchange, ResponsesOtherThanAChallenge) {
    const std::string binary = "\x00\xff\x01<\x80Product Name:\x00>\xfe\xc0\x00"s;
    const std::string filler = "<td>Serial Number:<td>FILL" + std::string(131071 + 5000, 'f');
    std::vector<std::string> trickle;
    for (char c : status_page.substr(0, 150)) trickle.emplace_back(1, c);
    const struct {
        std::vector<std::string> chunks;
        int pause_ms;
        std::string received;
        std::string product, serial;
    } cases[] = {
        {{}, 0, "", "", "before"},
        {trickle, 1, status_page.substr(0, 150), "QVR7x7g", "before"},
        {{binary}, 0, binary, "\xfe\xc0\x00"s, "before"},
        {{filler}, 0, filler.substr(0, 131071), "", "FILL" + std::string(123, 'f')},
    };
    for (const auto& c : cases) {
        DigestState digest{};
        IdentityFields identity{};
        copy_text(identity.serial_number, "before");
        ScriptedServer server(c.chunks, c.pause_ms);
        Exchange e = exchange(pc(2), server.port, digest, identity);
        ASSERT_EQ(e.result, static_cast<std::int32_t>(c.received.size()));
        EXPECT_EQ(std::string(e.buffer.data(), c.received.size() + 1), c.received + '\0');
        EXPECT_EQ(std::string(identity.product_name, c.product.size()), c.product);
        EXPECT_STREQ(identity.serial_number, c.serial.c_str());
    }
}

// The local ports are 23456 to 23556: with the first 100 taken, the 101st
// is used; with all 101 taken, the exchange hands back the text that ends
// the run (the core itself never ends it).
TEST(HttpExchange, LocalPortRange) {
    std::vector<SocketHandle> taken;
    for (unsigned n : {3, 4})
        for (std::uint16_t port = 23456; port <= (n == 3 ? 23555 : 23556); ++port) {
            taken.push_back(open_tcp_socket());
            EXPECT_TRUE(bind_socket(taken.back(), pc(n), port));
        }
    DigestState digest{};
    IdentityFields identity{};
    {
        ScriptedServer server({status_page});
        EXPECT_GT(exchange(pc(3), server.port, digest, identity).result, 0);
        EXPECT_EQ(server.peer_port, 23556);
    }
    Exchange none = exchange(pc(4), 9, digest, identity);
    EXPECT_EQ(none.result, 0);
    EXPECT_STREQ(none.outcome.failure, "Upgrade Failed: Can't bind HTTP socket");
    for (SocketHandle s : taken) close_socket(s);
}

// A port bound but not listening refuses the connection at once.
TEST(HttpExchange, RefusedConnection) {
    std::uint16_t port = 0;
    int closed = loopback_socket(false, port);
    DigestState digest{};
    copy_text(digest.password, "pw");
    IdentityFields identity{};
    Exchange refused = exchange(pc(5), port, digest, identity);
    EXPECT_EQ(refused.result, 0);
    EXPECT_EQ(digest.nc, 0u) << "no request was composed";
    if constexpr (is_recovery_upgrader) {
        EXPECT_STREQ(refused.outcome.failure, "Upgrade Failed: Can't connect to QVR");
    } else {
        EXPECT_EQ(refused.outcome.failure, nullptr) << "the check after an upload tries again";
    }
    ::close(closed);
}

// Every descriptor below the limit is in use, so socket() fails.
// The child of a death test runs it, so the lowered limit stays there; it
// exits 3 when the exchange handed back the right text, and the portable
// core must not end the process itself (exit 0 with the report).
void exchange_without_descriptors() {
    rlim_t lowest_free = static_cast<rlim_t>(::dup(0));
    rlimit limit{lowest_free, lowest_free};
    ::setrlimit(RLIMIT_NOFILE, &limit);
    DigestState digest{};
    IdentityFields identity{};
    Exchange e = exchange(pc(6), 9, digest, identity);
    bool named = e.outcome.failure != nullptr &&
                 std::string_view(e.outcome.failure) == "Upgrade Failed: Can't open HTTP socket";
    std::_Exit(e.result == 0 && named ? 3 : 4);
}

TEST(HttpExchange, NoSocketLeftToOpen) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(exchange_without_descriptors(), testing::ExitedWithCode(3), "");
}

// The terminal program's deadline: a device that accepts the connection and
// never answers, or answers half a page and goes quiet, ends the exchange
// within the deadline with nothing taken from it.
TEST(HttpExchange, DeadlineEndsASilentOrStalledAnswer) {
    for (const std::string& partial : {std::string(), status_page.substr(0, 60)}) {
        std::uint16_t port = 0;
        int listener = loopback_socket(true, port);
        std::atomic<bool> done{false};
        std::thread device([&] {
            int peer = ::accept(listener, nullptr, nullptr);
            if (!partial.empty()) (void)::send(peer, partial.data(), partial.size(), MSG_NOSIGNAL);
            for (int i = 0; i < 500 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
            ::close(peer);
        });
        DigestState digest{};
        IdentityFields identity{};
        Exchange e = exchange(pc(9), port, digest, identity, 200);
        done = true;
        device.join();
        ::close(listener);
        EXPECT_EQ(e.result, 0) << partial.size() << " bytes before the silence";
        EXPECT_TRUE(e.outcome.timed_out);
        EXPECT_EQ(identity.software_version[0], '\0') << "nothing of a cut answer is taken";
    }
}

TEST(HttpExchange, StatusCodeOfTheAnswer) {
    EXPECT_EQ(http_status_code("HTTP/1.1 503 Service Unavailable\r\n"), 503);
    EXPECT_EQ(http_status_code("HTTP/1.0  200 OK"), 200);
    EXPECT_EQ(http_status_code("HTTP/1.1 20"), 0);
    EXPECT_EQ(http_status_code("HTTP/1.1 2x0 OK"), 0);
    EXPECT_EQ(http_status_code("HTTP/1.1200 OK"), 0);
    EXPECT_EQ(http_status_code("<html>503</html>"), 0);
}

// Regression: the check after an upload shared the page buffer, the Digest
// state and the identity fields with the upgrade command's exchange, so a
// device that answered the command late (with its page from before the
// upgrade) tore the check's page and put the old version on the success
// dialog.  The check runs while the command still waits, in a space of its
// own; the nonce count runs on from the command to the check and back to a
// second command.
TEST(HttpExchange, LateAnswerToTheCommandLeavesTheCheckAlone) {
    auto spaces = std::make_unique<RunExchangeSpaces>();
    DigestState& main_digest = spaces->main.digest;
    copy_text(main_digest.username, "admin");
    copy_text(main_digest.password, "secret");
    copy_text(main_digest.realm, "QVR");
    copy_text(main_digest.nonce, "n-1");
    copy_text(main_digest.last_nonce, "n-1");
    copy_text(main_digest.qop, "auth");
    main_digest.nc = 1;  // the status request before the upgrade
    extract_identity(status_page, spaces->main.identity);
    begin_after_upload_space(*spaces);

    std::string new_page = status_page;
    new_page.replace(new_page.find("7.5.5"), 5, "7.5.6a");
    const std::string command = "/admin/upgrade?tftp://127.0.0.1:69/qvr1a2b.bi1";
    ScriptedServer device_busy({status_page}, 0, true);
    std::int32_t command_result = -2;
    std::thread main_thread([&] {
        command_result = http_exchange(build_rules, pc(7), http_base_port, loopback, device_busy.port, command,
                                       spaces->main.page, page_capacity, spaces->main.digest,
                                       spaces->main.identity, &spaces->command_digest);
    });
    const std::string& command_request = device_busy.wait_for_request();

    std::int32_t check_result = 0;
    {
        ScriptedServer device_back({new_page});
        ExchangeSpace& space = after_upload_space(*spaces);
        check_result = http_exchange(build_rules, pc(8), http_base_port, loopback, device_back.port, "/admin/advanced",
                                     space.page, page_capacity, space.digest, space.identity);
        EXPECT_NE(device_back.wait_for_request().find(",nc=000000003,"), std::string::npos) << device_back.request;
    }
    device_busy.released = true;
    main_thread.join();

    EXPECT_NE(command_request.find(",nc=000000002,"), std::string::npos) << command_request;
    EXPECT_EQ(command_result, static_cast<std::int32_t>(status_page.size()));
    EXPECT_EQ(check_result, static_cast<std::int32_t>(new_page.size()));
    ExchangeSpace& check = after_upload_space(*spaces);
    EXPECT_EQ(std::string(check.page), new_page);
    EXPECT_STREQ(check.identity.software_version, "7.5.6a");
    EXPECT_STREQ(spaces->main.identity.software_version, "7.5.5");
    EXPECT_EQ(second_command_space(*spaces).digest.nc, 3u) << "a second command would send nc 4";
}

// A state posted after the check has counted further on the same nonce
// never takes the count back; one with a new nonce is taken whole.
TEST(HttpExchange, HandedOverCountNeverGoesBack) {
    auto handover = std::make_unique<DigestHandover>();
    DigestState own{}, posted{};
    copy_text(own.last_nonce, "n-1");
    own.nc = 5;
    EXPECT_FALSE(collect_digest(*handover, own));
    copy_text(posted.last_nonce, "n-1");
    posted.nc = 3;
    post_digest(*handover, posted);
    EXPECT_TRUE(collect_digest(*handover, own));
    EXPECT_EQ(own.nc, 5u);
    EXPECT_FALSE(collect_digest(*handover, own)) << "taken twice";
    copy_text(posted.last_nonce, "n-2");
    posted.nc = 1;
    post_digest(*handover, posted);
    EXPECT_TRUE(collect_digest(*handover, own));
    EXPECT_EQ(own.nc, 1u);
    EXPECT_STREQ(own.last_nonce, "n-2");
}

}  // namespace
}  // namespace qvr
