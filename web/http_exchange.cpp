#include "web/http_exchange.h"

#include "common/text.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "web/exchange_space.h"
#include "web/text_out.h"

namespace qvr {

namespace {

struct StatusLabel {
    std::string_view label;
    char (IdentityFields::*field)[identity_field_size];
};

constexpr StatusLabel status_labels[] = {
    {"Product Name:", &IdentityFields::product_name},
    {"MAC Address:", &IdentityFields::mac_address},
    {"Software Version:", &IdentityFields::software_version},
    {"Hardware Version:", &IdentityFields::hardware_version},
    {"Serial Number:", &IdentityFields::serial_number},
};

constexpr std::size_t identity_value_limit = identity_field_size - 1;

}  // namespace

SocketHandle open_http_connection(const DeliverableRules& rules, std::uint32_t pc_address, std::uint16_t base_port,
                                  std::uint32_t device_address, std::uint16_t device_port, HttpOutcome& outcome,
                                  unsigned connect_timeout_ms) {
    SocketHandle s = open_tcp_socket();
    if (s == invalid_socket) {
        outcome.failure = "Upgrade Failed: Can't open HTTP socket";
        return invalid_socket;
    }
    bool bound = false;
    for (std::uint32_t port = base_port; !bound && port < base_port + http_port_attempts && port <= 0xFFFF; ++port)
        bound = bind_socket(s, pc_address, static_cast<std::uint16_t>(port));
    if (!bound) {
        close_socket(s);
        outcome.failure = "Upgrade Failed: Can't bind HTTP socket";
        return invalid_socket;
    }
    bool connected = false;
    if (connect_timeout_ms == 0) {
        connected = connect_socket(s, device_address, device_port);
    } else {
        connected = connect_socket_within(s, device_address, device_port, connect_timeout_ms, outcome.timed_out);
    }
    if (!connected) {
        if (rules.connect_failure_ends_run) outcome.failure = "Upgrade Failed: Can't connect to QVR";
        close_socket(s);
        return invalid_socket;
    }
    return s;
}

std::size_t compose_http_request(DigestState& digest, std::string_view target, char* buffer, std::size_t size) {
    TextOut request = text_out(buffer, size);
    append_text(request, "GET ");
    append_text(request, target);
    append_text(request, " HTTP/1.1\r\n");
    // A fixed Host whatever the device's address: devices in the field have
    // always been sent this one, and their server does not look at it.
    append_text(request, "Host: 192.168.2.110\r\n");
    bool counted = false;
    if (digest.password[0] != '\0' && !request.cut) {
        ++digest.nc;
        counted = true;
        std::size_t n = compose_authorization(digest, target, request.data + request.length, size - request.length);
        if (n == 0) {
            request.cut = true;
        } else {
            request.length += n;
        }
    }
    append_text(request, "\r\n");
    if (request.cut) {
        if (counted) --digest.nc;
        text_out(buffer, size);
        return 0;
    }
    return request.length;
}

std::string_view find_digest_challenge(std::string_view text) {
    if (text.substr(0, 8) != "HTTP/1.1" || text.size() < 9) return {};
    std::size_t code = 9;
    while (code < text.size() && (text[code] == ' ' || text[code] == '\t')) ++code;
    if (text.substr(code, 3) != "401") return {};
    std::size_t header = text.find("WWW-Authenticate:", code);
    if (header == std::string_view::npos) return {};
    return text.substr(header);
}

bool read_digest_challenge(std::string_view text, DigestState& digest) {
    std::string_view challenge = find_digest_challenge(text);
    return !challenge.empty() && parse_digest_challenge(digest, challenge);
}

int http_status_code(std::string_view text) {
    if (text.substr(0, 7) != "HTTP/1." || text.size() < 9) return 0;
    std::size_t at = 8;
    while (at < text.size() && (text[at] == ' ' || text[at] == '\t')) ++at;
    if (at == 8 || text.size() - at < 3) return 0;
    int code = 0;
    for (std::size_t i = at; i < at + 3; ++i) {
        if (text[i] < '0' || text[i] > '9') return 0;
        code = code * 10 + (text[i] - '0');
    }
    return code;
}

bool extract_labelled_value(std::string_view text, std::string_view label, char (&field)[identity_field_size]) {
    std::size_t at = text.find(label);
    if (at == std::string_view::npos) return false;
    std::size_t close = text.find('>', at);
    if (close == std::string_view::npos) return false;
    std::size_t value = close + 1;
    while (value < text.size() && text[value] == '<') {
        close = text.find('>', value);
        if (close == std::string_view::npos) return false;
        value = close + 1;
    }
    std::size_t end = text.find('<', value);
    if (end == std::string_view::npos) end = text.size();
    std::size_t length = end - value < identity_value_limit ? end - value : identity_value_limit;
    copy_text(field, text.substr(value, length));
    return true;
}

void extract_identity(std::string_view text, IdentityFields& identity) {
    for (const StatusLabel& row : status_labels) extract_labelled_value(text, row.label, identity.*row.field);
}

namespace {

// The milliseconds left of a deadline that started at start_ms; 0 once it
// has passed.
unsigned remaining_ms(std::uint32_t start_ms, unsigned deadline_ms) {
    std::uint32_t spent = millisecond_clock() - start_ms;
    return spent >= deadline_ms ? 0 : deadline_ms - spent;
}

// Sends the whole request before the deadline; false when it did not go out
// whole.
bool send_within(SocketHandle s, const char* data, std::size_t length, std::uint32_t start_ms, unsigned deadline_ms,
                 HttpOutcome& outcome) {
    std::size_t sent = 0;
    while (sent < length) {
        unsigned left = remaining_ms(start_ms, deadline_ms);
        int ready = left == 0 ? 0 : wait_writable(s, static_cast<int>(left));
        if (ready == 0) outcome.timed_out = true;
        if (ready <= 0) return false;
        int n = send_bytes(s, data + sent, length - sent);
        if (n <= 0) return false;
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::int32_t http_exchange(const DeliverableRules& rules, std::uint32_t pc_address, std::uint16_t base_port,
                           std::uint32_t device_address, std::uint16_t device_port, std::string_view target, char* buffer,
                           std::uint32_t capacity, DigestState& digest, IdentityFields& identity,
                           DigestHandover* hand_over, HttpOutcome* outcome_out, unsigned deadline_ms) {
    HttpOutcome unused{};
    HttpOutcome& outcome = outcome_out != nullptr ? *outcome_out : unused;
    outcome = HttpOutcome{};
    const std::uint32_t start = millisecond_clock();
    if (capacity > 0x7FFFFFFFu) capacity = 0x7FFFFFFFu;  // the result is a signed 32-bit count
    SocketHandle s = open_http_connection(rules, pc_address, base_port, device_address, device_port, outcome,
                                          deadline_ms);
    if (s == invalid_socket) return 0;

    std::size_t length = compose_http_request(digest, target, buffer, std::size_t{capacity} + 1);
    if (length == 0) {
        // Only a target far longer than any of ours gets here; sending half
        // a request would be worse than sending none.
        close_socket(s);
        return 0;
    }
    if (hand_over != nullptr) post_digest(*hand_over, digest);
    trace("%s", buffer);
    // A request that did not go out whole gets no answer worth waiting for.
    bool sent = deadline_ms == 0 ? send_bytes(s, buffer, length) == static_cast<int>(length)
                                 : send_within(s, buffer, length, start, deadline_ms, outcome);
    if (!sent) {
        trace("HTTP send failed\n");
        close_socket(s);
        buffer[0] = '\0';
        return 0;
    }

    // The response goes over the request, from the start of the buffer.
    std::uint32_t total = 0;
    buffer[0] = '\0';
    while (total < capacity) {
        if (deadline_ms != 0) {
            unsigned left = remaining_ms(start, deadline_ms);
            int ready = left == 0 ? 0 : wait_readable(s, static_cast<int>(left));
            if (ready == 0) {
                // A device that goes quiet part-way has not answered: half
                // a page could name half an identity.
                outcome.timed_out = true;
                total = 0;
                buffer[0] = '\0';
                break;
            }
            if (ready < 0) break;
        }
        int n = receive_bytes(s, buffer + total, capacity - total);
        if (n <= 0) break;
        total += static_cast<std::uint32_t>(n);
        buffer[total] = '\0';
    }
    trace("recv done\n");
    trace("%s", buffer);
    trace("\n");

    std::int32_t result = static_cast<std::int32_t>(total);
    std::string_view text(buffer, total);
    outcome.status = http_status_code(text);
    if (total == 0) {
        result = 0;
    } else if (read_digest_challenge(text, digest)) {
        result = -1;
    } else {
        extract_identity(text, identity);
    }
    close_socket(s);
    return result;
}

}  // namespace qvr
