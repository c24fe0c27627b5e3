// http_probe: drives http_exchange from the command line, for the
// integration tests against the simulated device and a real Digest server.
//
//   http_probe_staged --device 127.0.0.1 --port 8080 [--pc 127.0.0.1]
//       [--base-port 23456] [--target /admin/advanced ...] [--user admin]
//       [--password first --password second ...] [--seed 1] [--max-attempts 6]
//
// For each target, in order, it repeats the exchange as the request worker
// does: after a challenge with a new nonce the stored credentials are tried
// once more on their own; otherwise the next --password stands for the
// user's answer to the password dialog, and when none is left the target
// is given up.  One DigestState and one set of identity fields serve the
// whole run, as in the programs.  Output: one JSON object on stdout.
#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/build_deliverable.h"
#include "common/random.h"
#include "common/json_text.h"
#include "common/text.h"
#include "web/http_exchange.h"

namespace {

qvr::DigestState digest_state;
qvr::IdentityFields identity_fields;
char page_buffer[qvr::page_capacity + 1];

bool parse_address(const char* text, std::uint32_t& address) {
    in_addr a;
    if (::inet_pton(AF_INET, text, &a) != 1) return false;
    address = ntohl(a.s_addr);
    return true;
}

[[noreturn]] void usage() {
    std::fprintf(stderr,
                 "usage: http_probe --device A.B.C.D [--port N] [--pc A.B.C.D] [--base-port N] [--target T]...\n"
                 "                  [--user U] [--password P]... [--seed N] [--max-attempts N]\n");
    std::exit(2);
}

}  // namespace

int main(int argc, char** argv) {
    std::uint32_t pc = 0x7F000001u, device = 0;
    unsigned long port = qvr::http_device_port, base_port = qvr::http_base_port, seed = 1, max_attempts = 6;
    std::vector<std::string> targets, passwords;
    std::string user = "admin";
    for (int i = 1; i < argc; ++i) {
        std::string_view option = argv[i];
        if (i + 1 >= argc) usage();
        const char* value = argv[++i];
        if (option == "--device") {
            if (!parse_address(value, device)) usage();
        } else if (option == "--pc") {
            if (!parse_address(value, pc)) usage();
        } else if (option == "--port") {
            port = std::strtoul(value, nullptr, 10);
        } else if (option == "--base-port") {
            base_port = std::strtoul(value, nullptr, 10);
        } else if (option == "--target") {
            targets.emplace_back(value);
        } else if (option == "--user") {
            user = value;
        } else if (option == "--password") {
            passwords.emplace_back(value);
        } else if (option == "--seed") {
            seed = std::strtoul(value, nullptr, 10);
        } else if (option == "--max-attempts") {
            max_attempts = std::strtoul(value, nullptr, 10);
        } else {
            usage();
        }
    }
    if (device == 0 || port == 0 || port > 0xFFFF || base_port == 0 || base_port > 0xFFFF) usage();
    if (targets.empty()) targets.emplace_back("/admin/advanced");
    qvr::seed_random(static_cast<std::uint32_t>(seed));
    std::size_t next_password = 0;

    std::string out = "{\"requests\":[";
    for (std::size_t t = 0; t < targets.size(); ++t) {
        out += (t ? ",{" : "{") + std::string("\"target\":") + qvr::json_string(targets[t]) + ",\"attempts\":[";
        int retry_allowance = 0;
        std::int32_t result = 0;
        const char* end = "answered";
        for (unsigned long attempt = 0;; ++attempt) {
            if (attempt == max_attempts) {
                end = "attempts";
                break;
            }
            result = qvr::http_exchange(qvr::build_rules, pc, static_cast<std::uint16_t>(base_port), device,
                                        static_cast<std::uint16_t>(port), targets[t], page_buffer,
                                        qvr::page_capacity, digest_state, identity_fields);
            out += (attempt ? "," : "") + std::string("{\"result\":") + std::to_string(result) +
                   ",\"nc\":" + std::to_string(digest_state.nc) + "}";
            if (result >= 0) break;
            if (digest_state.password[0] != '\0' && digest_state.nc == 0 && retry_allowance == 0) {
                retry_allowance = 1;
                continue;
            }
            if (next_password == passwords.size()) {
                end = "no password left";
                break;
            }
            qvr::copy_text(digest_state.username, user);
            qvr::copy_text(digest_state.password, passwords[next_password++]);
            retry_allowance = 0;
        }
        out += "],\"result\":" + std::to_string(result) + ",\"end\":" + qvr::json_string(end) +
               ",\"page\":" + qvr::json_string(std::string_view(page_buffer, result > 0 ? result : 0)) + "}";
    }
    const qvr::DigestState& d = digest_state;
    const qvr::IdentityFields& f = identity_fields;
    out += "],\"digest\":{\"nc\":" + std::to_string(d.nc) + ",\"nonce\":" + qvr::json_string(qvr::field_text(d.nonce)) +
           ",\"cnonce\":" + qvr::json_string(qvr::field_text(d.cnonce)) + ",\"realm\":" + qvr::json_string(qvr::field_text(d.realm)) +
           ",\"qop\":" + qvr::json_string(qvr::field_text(d.qop)) + ",\"algorithm\":" +
           qvr::json_string(qvr::field_text(d.algorithm)) + ",\"opaque\":" + qvr::json_string(qvr::field_text(d.opaque)) +
           "},\"identity\":{\"product_name\":" + qvr::json_string(qvr::field_text(f.product_name)) +
           ",\"mac_address\":" + qvr::json_string(qvr::field_text(f.mac_address)) +
           ",\"software_version\":" + qvr::json_string(qvr::field_text(f.software_version)) +
           ",\"hardware_version\":" + qvr::json_string(qvr::field_text(f.hardware_version)) +
           ",\"serial_number\":" + qvr::json_string(qvr::field_text(f.serial_number)) + "}}\n";
    std::fputs(out.c_str(), stdout);
    return 0;
}
