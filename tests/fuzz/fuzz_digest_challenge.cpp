// Fuzz target: any bytes as a response, through the challenge test and the
// challenge reader, then the Authorization line composed from whatever the
// record now holds.  Every field must stay NUL-terminated inside its width
// and the line must fit the bound the header promises.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/text.h"
#include "web/digest.h"
#include "web/http_exchange.h"

namespace {

template <std::size_t N>
void check_field(const char (&field)[N]) {
    if (std::memchr(field, '\0', N) == nullptr) std::abort();
}

void check_state(const qvr::DigestState& s) {
    check_field(s.last_nonce);
    check_field(s.nonce);
    check_field(s.cnonce);
    check_field(s.username);
    check_field(s.password);
    check_field(s.realm);
    check_field(s.qop);
    check_field(s.algorithm);
    check_field(s.uri);
    check_field(s.opaque);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    static qvr::DigestState state{};  // kept across inputs, as the process keeps it
    qvr::copy_text(state.username, "admin");
    qvr::copy_text(state.password, "password");

    qvr::read_digest_challenge(text, state);
    check_state(state);
    qvr::parse_digest_challenge(state, text);
    check_state(state);

    // A target is our own text: no NUL inside.
    std::string_view target = text.substr(0, text.find('\0'));
    char line[1000];
    std::size_t n = qvr::compose_authorization(state, target.substr(0, 200), line, sizeof line);
    if (n == 0 || n != std::strlen(line)) std::abort();
    check_state(state);

    // The request around it fits a small buffer too, or is refused whole.
    char request[1200];
    n = qvr::compose_http_request(state, target, request, sizeof request);
    if (n >= sizeof request || std::strlen(request) != n) std::abort();
    return 0;
}
