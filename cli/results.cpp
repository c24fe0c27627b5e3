#include "cli/results.h"

#include <cstdio>

#include "common/text.h"

namespace qvr::cli {

namespace {

std::string identity_json(bool present, const IdentityFields& id) {
    if (!present) return "null";
    return std::string("{\"serial_number\":") + json_string(field_text(id.serial_number)) +
           ",\"mac_address\":" + json_string(field_text(id.mac_address)) +
           ",\"software_version\":" + json_string(field_text(id.software_version)) +
           ",\"hardware_version\":" + json_string(field_text(id.hardware_version)) +
           ",\"product_name\":" + json_string(field_text(id.product_name)) + "}";
}

void put_escaped(std::string& out, unsigned char c) {
    static const char hex[] = "0123456789abcdef";
    out += "\\x";
    out += hex[c >> 4];
    out += hex[c & 0xF];
}

}  // namespace

const char* outcome_word(Outcome outcome) {
    switch (outcome) {
        case Outcome::passed:
            return "passed";
        case Outcome::failed:
            return "failed";
        case Outcome::up_to_date:
            return "up-to-date";
        case Outcome::would_upgrade:
            return "would-upgrade";
        case Outcome::not_started:
            return "not-started";
        case Outcome::interrupted:
            return "interrupted";
    }
    return "failed";
}

Outcome outcome_of(const DeviceResult& result) {
    if (result.outcome) return *result.outcome;
    return result.passed ? Outcome::passed : Outcome::failed;
}

std::string inert_text(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if ((c < 0x20 && c != '\t') || c == 0x7F)
                put_escaped(out, c);
            else
                out += static_cast<char>(c);
            ++i;
        } else if (utf8_c1_control(text, i)) {
            put_escaped(out, c);
            put_escaped(out, static_cast<unsigned char>(text[i + 1]));
            i += 2;
        } else if (std::size_t n = utf8_sequence_length(text, i); n != 0) {
            out.append(text.substr(i, n));
            i += n;
        } else {
            put_escaped(out, c);
            ++i;
        }
    }
    return out;
}

void report_failure(const DeviceResult& result) {
    if (!result.notice.empty())
        std::fprintf(stderr, "QVR@%s: %s\n", inert_text(result.label).c_str(), inert_text(result.notice).c_str());
    if (!result.passed && !result.error.empty())
        std::fprintf(stderr, "QVR@%s: %s\n", inert_text(result.label).c_str(), inert_text(result.error).c_str());
    std::fflush(stderr);
}

std::string summary_line(const DeviceResult& result, const char* done_word) {
    std::string line = "QVR@" + result.label + ": ";
    std::string now(field_text(result.before.software_version));
    switch (outcome_of(result)) {
        case Outcome::passed:
            line += done_word;
            if (result.have_after)
                line += std::string(" to ") + std::string(field_text(result.after.software_version));
            break;
        case Outcome::failed:
            line += "FAILED: " + result.error;
            break;
        case Outcome::up_to_date:
            line += "up to date (runs " + now + "): left alone";
            break;
        case Outcome::would_upgrade:
            line += "would be upgraded from " + now + " to " + result.image_version;
            break;
        case Outcome::not_started:
            line += "not started" + (result.error.empty() ? std::string() : ": " + result.error);
            break;
        case Outcome::interrupted:
            line += "interrupted" + (result.error.empty() ? std::string() : ": " + result.error);
            break;
    }
    return inert_text(line);
}

std::string result_json(const DeviceResult& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    return "{\"device\":" + json_string(r.label) + ",\"address\":" + json_string(r.address) +
           ",\"identity_before\":" + identity_json(r.have_before, r.before) +
           ",\"identity_after\":" + identity_json(r.have_after, r.after) +
           ",\"image_version\":" + json_string(r.image_version) + ",\"bytes\":" + std::to_string(r.bytes) +
           ",\"seconds\":" + seconds + ",\"result\":" + json_string(outcome_word(outcome_of(r))) +
           (r.phase.empty() ? std::string() : ",\"phase\":" + json_string(r.phase)) +
           ",\"error\":" + (r.error.empty() ? std::string("null") : json_string(r.error)) +
           (r.notice.empty() ? std::string() : ",\"notice\":" + json_string(r.notice)) + "}";
}

}  // namespace qvr::cli
