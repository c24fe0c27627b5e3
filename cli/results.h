// One record per device of a run, the summary lines and the JSON output.
#pragma once

#include <string>
#include <vector>

#include "common/identity.h"
#include "common/json_text.h"

namespace qvr::cli {

struct DeviceResult {
    std::string label;    // the address as given, or the serial number
    std::string address;  // the device's IPv4 address ("" when never learnt)
    bool have_before;
    IdentityFields before;
    bool have_after;
    IdentityFields after;
    std::string image_version;
    unsigned long long bytes;
    double seconds;
    bool passed;
    std::string error;  // the system's text when there is one
};

// Writes the failure (when there is one) on standard error.
void report_failure(const DeviceResult& result);

// "QVR@label: upgraded to 7.5.6a" or "QVR@label: FAILED: <error>".
std::string summary_line(const DeviceResult& result, const char* done_word);

// One JSON object (one line) for a device.
std::string result_json(const DeviceResult& result);

using qvr::json_string;

}  // namespace qvr::cli
