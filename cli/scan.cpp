// The scan: every address of the ranges gets the status request a run
// starts with, and nothing else.  Most addresses of a LAN hold nobody, and
// a connect to nobody ends only when the kernel gives up on its ARP,
// seconds later; so a probe first only connects, within 1 second, and
// closes.  Only a host that took that connection gets the status request,
// on a connection of its own, within the whole --http-timeout.
#include "cli/scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <memory>
#include <mutex>
#include <thread>

#include "cli/address_range.h"
#include "cli/credentials.h"
#include "cli/interrupt.h"
#include "cli/local_address.h"
#include "cli/results.h"
#include "common/deliverable.h"
#include "common/json_text.h"
#include "common/random.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/socket.h"
#include "tftp/listener.h"
#include "web/device_targets.h"
#include "web/exchange_space.h"
#include "web/http_exchange.h"

namespace qvr::cli {

namespace {

// The staged-upgrader's requests, but a failed connect ends nothing: the
// address is simply not a device.
constexpr DeliverableRules scan_rules = [] {
    DeliverableRules rules = staged_upgrader_rules;
    rules.connect_failure_ends_run = false;
    return rules;
}();

constexpr unsigned probe_connect_ms = 1000;
// Requests for one address: the first, one repeated for a new nonce, one
// with the password, one more for a nonce gone stale.  More means the
// device keeps challenging: it is listed as asking for a password.
constexpr int max_probe_requests = 6;

struct ScanRun {
    const std::vector<std::uint32_t>* addresses;
    const Credentials* credentials;
    std::uint32_t pc;  // 0: the one the system would use for each device
    unsigned deadline_ms;
    unsigned connect_ms;
    std::atomic<std::size_t> next;
    std::mutex lock;  // over found
    std::vector<ScanFinding> found;
};

bool names_any_identity(const IdentityFields& id) {
    for (const char* field : {id.serial_number, id.mac_address, id.software_version, id.hardware_version,
                              id.product_name})
        if (field[0] != '\0') return true;
    return false;
}

// True when something takes a TCP connection on the device's web port
// within connect_ms.  The connection is closed at once without a request;
// it is bound to a port the system picks, so that the closes of a large
// scan do not hold the ports the requests bind.
bool takes_connection(std::uint32_t pc, std::uint32_t device, unsigned connect_ms) {
    SocketHandle s = open_tcp_socket();
    if (s == invalid_socket) return false;
    bool timed_out = false;
    bool connected = bind_socket(s, pc, 0) &&
                     connect_socket_within(s, device, http_device_port, connect_ms, timed_out);
    close_socket(s);
    return connected;
}

// The status request to one address, with the password when the device
// asks and one was given.  True when the address is a device; finding
// then holds what it told.
bool probe(ScanRun& run, std::uint32_t device, ExchangeSpace& space, ScanFinding& finding) {
    const std::uint32_t pc = run.pc != 0 ? run.pc : route_source_address(device);
    if (pc == 0 || !takes_connection(pc, device, run.connect_ms)) return false;
    const std::string label = dotted(device);
    space.digest = DigestState{};
    space.identity = IdentityFields{};
    ChallengeRetry retry{};
    bool asked = false, challenged = false, identified = false;
    for (int request = 0; request < max_probe_requests; ++request) {
        HttpOutcome outcome{};
        std::int32_t answer = http_exchange(scan_rules, pc, http_base_port, device, http_device_port, STATUS_TARGET,
                                            space.page, page_capacity, space.digest, space.identity, nullptr,
                                            &outcome, run.deadline_ms);
        if (outcome.failure != nullptr)
            std::fprintf(stderr, "qvr-upgrade: QVR@%s: %s\n", label.c_str(), outcome.failure);
        if (answer >= 0) {
            identified = answer > 0 && names_any_identity(space.identity);
            break;
        }
        // A Digest challenge: a device, whatever comes of the password.
        challenged = true;
        // Nobody is asked on the terminal: a scan runs many probes at once
        // and is often run from a script.
        if (run.credentials->source == nullptr) break;
        if (step_after_challenge(space.digest, retry) == ChallengeStep::repeat) continue;
        // A refusal is told on standard error by supply_password.
        if (!supply_password(*run.credentials, label.c_str(), asked, space.digest)) break;
        asked = true;
        step_after_password_dialog(true, retry);
    }
    wipe_secret(&space.digest, sizeof space.digest);
    finding = ScanFinding{device, challenged && !identified, IdentityFields{}};
    if (identified) finding.identity = space.identity;
    return challenged || identified;
}

void scan_worker(ScanRun& run) {
    std::unique_ptr<ExchangeSpace> space(new ExchangeSpace{});
    for (;;) {
        const std::size_t i = run.next.fetch_add(1);
        if (i >= run.addresses->size()) break;
        ScanFinding finding{};
        if (!probe(run, (*run.addresses)[i], *space, finding)) continue;
        std::lock_guard<std::mutex> hold(run.lock);
        run.found.push_back(finding);
    }
}

std::string shown(const char (&field)[identity_field_size]) {
    std::string text = inert_text(field_text(field));
    return text.empty() ? "-" : text;
}

// Columns are padded by the characters shown; device text is mostly
// ASCII, and a wide character only shifts its own line.
void pad(std::string& line, const std::string& cell, std::size_t width) {
    line += cell;
    if (cell.size() < width) line.append(width - cell.size(), ' ');
}

int usage_error(const std::string& text) {
    std::fprintf(stderr, "qvr-upgrade: %s\n", inert_text(text).c_str());
    return EXIT_USAGE;
}

}  // namespace

std::vector<std::string> scan_table(std::vector<ScanFinding> findings) {
    std::sort(findings.begin(), findings.end(),
              [](const ScanFinding& a, const ScanFinding& b) { return a.address < b.address; });
    constexpr std::size_t columns = 6;
    std::vector<std::array<std::string, columns>> rows;
    rows.push_back({"ADDRESS", "PRODUCT", "SERIAL NUMBER", "SOFTWARE", "HARDWARE", "MAC ADDRESS"});
    for (const ScanFinding& f : findings) {
        const IdentityFields& id = f.identity;
        rows.push_back({dotted(f.address), f.needs_password ? "(asks for a password)" : shown(id.product_name),
                        shown(id.serial_number), shown(id.software_version), shown(id.hardware_version),
                        shown(id.mac_address)});
    }
    std::size_t width[columns] = {};
    for (const auto& row : rows)
        for (std::size_t c = 0; c < columns; ++c) width[c] = std::max(width[c], row[c].size());
    std::vector<std::string> lines;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c + 1 < columns; ++c) pad(line, row[c], width[c] + 2);
        line += row[columns - 1];
        lines.push_back(line);
    }
    return lines;
}

std::string scan_json(const ScanFinding& finding) {
    const IdentityFields& id = finding.identity;
    return "{\"address\":" + json_string(dotted(finding.address)) +
           ",\"serial_number\":" + json_string(field_text(id.serial_number)) +
           ",\"mac_address\":" + json_string(field_text(id.mac_address)) +
           ",\"software_version\":" + json_string(field_text(id.software_version)) +
           ",\"hardware_version\":" + json_string(field_text(id.hardware_version)) +
           ",\"product_name\":" + json_string(field_text(id.product_name)) +
           ",\"needs_password\":" + (finding.needs_password ? "true" : "false") + "}";
}

int run_scan(const CliConfig& config) {
    std::string error;
    std::vector<std::uint32_t> addresses;
    if (!expand_ranges(config.devices, addresses, error)) return usage_error(error);
    std::uint32_t pc = 0;
    if (!config.pc_address.empty()) {
        if (!parse_dotted_quad(config.pc_address, pc) || pc == 0)
            return usage_error("'" + config.pc_address + "' is not an IPv4 address (a.b.c.d)");
        if (!check_local_address(pc, error)) return usage_error(error);
    }
    Credentials credentials{};
    if (!load_credentials(config.user, config.password_file, credentials, error)) return usage_error(error);
    credentials.may_ask = false;
    seed_random(millisecond_clock());

    ScanRun run{};
    run.addresses = &addresses;
    run.credentials = &credentials;
    run.pc = pc;
    run.deadline_ms = static_cast<unsigned>(std::ceil(config.http_timeout_seconds * 1000.0));
    run.connect_ms = std::min(probe_connect_ms, run.deadline_ms);
    set_stopping_point("while scanning", nullptr);
    const std::size_t workers = std::min<std::size_t>(std::max(config.parallel, 1u), addresses.size());
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < workers; ++i) threads.emplace_back(scan_worker, std::ref(run));
    for (std::thread& t : threads) t.join();
    wipe_credentials(credentials);

    std::sort(run.found.begin(), run.found.end(),
              [](const ScanFinding& a, const ScanFinding& b) { return a.address < b.address; });
    if (config.json) {
        for (const ScanFinding& f : run.found) std::printf("%s\n", scan_json(f).c_str());
    } else {
        if (!run.found.empty())
            for (const std::string& line : scan_table(run.found)) std::printf("%s\n", line.c_str());
        std::printf("%zu device%s found among %zu address%s\n", run.found.size(), run.found.size() == 1 ? "" : "s",
                    addresses.size(), addresses.size() == 1 ? "" : "es");
    }
    std::fflush(stdout);
    return run.found.empty() ? EXIT_SOME_FAILED : EXIT_ALL_PASSED;
}

}  // namespace qvr::cli
