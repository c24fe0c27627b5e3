#include "cli/results.h"

#include <cstdio>

#include "common/text.h"

namespace qvr::cli {

namespace {

std::string identity_json(bool present, const IdentityFields& id) {
    if (!present) return "null";
    return std::string("{\"serial_number\":") + json_string(std::string(field_text(id.serial_number))) +
           ",\"mac_address\":" + json_string(std::string(field_text(id.mac_address))) +
           ",\"software_version\":" + json_string(std::string(field_text(id.software_version))) +
           ",\"hardware_version\":" + json_string(std::string(field_text(id.hardware_version))) +
           ",\"product_name\":" + json_string(std::string(field_text(id.product_name))) + "}";
}

}  // namespace

void report_failure(const DeviceResult& result) {
    if (result.passed) return;
    std::fprintf(stderr, "QVR@%s: %s\n", result.label.c_str(), result.error.c_str());
    std::fflush(stderr);
}

std::string summary_line(const DeviceResult& result, const char* done_word) {
    std::string line = "QVR@" + result.label + ": ";
    if (result.passed) {
        line += done_word;
        if (result.have_after) line += std::string(" to ") + result.after.software_version;
    } else {
        line += "FAILED: " + result.error;
    }
    return line;
}

std::string result_json(const DeviceResult& r) {
    char seconds[32];
    std::snprintf(seconds, sizeof seconds, "%.3f", r.seconds);
    return "{\"device\":" + json_string(r.label) + ",\"address\":" + json_string(r.address) +
           ",\"identity_before\":" + identity_json(r.have_before, r.before) +
           ",\"identity_after\":" + identity_json(r.have_after, r.after) +
           ",\"image_version\":" + json_string(r.image_version) + ",\"bytes\":" + std::to_string(r.bytes) +
           ",\"seconds\":" + seconds + ",\"result\":" + json_string(r.passed ? "passed" : "failed") +
           ",\"error\":" + (r.passed ? std::string("null") : json_string(r.error)) + "}";
}

}  // namespace qvr::cli
