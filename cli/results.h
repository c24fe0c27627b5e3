// One record per device of a run, the summary lines and the JSON output,
// and the escaping that keeps device text from driving the terminal.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/identity.h"
#include "common/json_text.h"

namespace qvr::cli {

// How a device's part of a run ended.
enum class Outcome { passed, failed, up_to_date, would_upgrade, not_started, interrupted };

// The word --json gives an outcome ("up-to-date", ...).
const char* outcome_word(Outcome outcome);

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
    // Set by the fleet run; otherwise taken from `passed`.
    std::optional<Outcome> outcome;
    std::string phase;   // where a failure happened (identify, check, command, request, transfer, install, verify)
    std::string error;   // the system's text when there is one
    std::string notice;  // what the product check could not tell; shown even under --quiet
};

// Text from a device (or any text that may hold some) made safe to write
// on a terminal.  Read as UTF-8: valid UTF-8 passes unchanged, tab too;
// every other C0 control, DEL and each byte of a C1 control (U+0080..
// U+009F in UTF-8) is written as \xNN, as is every byte that is not part
// of valid UTF-8.  A backslash is kept as it is, so the escaping is for
// the eye, not to be undone.
std::string inert_text(std::string_view text);

// Writes the notice and the failure (those there are) on standard error,
// each as one line "QVR@label: text", escaped.  Called at the end of each
// device whatever the output mode, so --quiet and --json show them too.
void report_failure(const DeviceResult& result);

// "QVR@label: upgraded to 7.5.6a" or "QVR@label: FAILED: <error>", escaped.
std::string summary_line(const DeviceResult& result, const char* done_word);

// The outcome a result stands for.
Outcome outcome_of(const DeviceResult& result);

// One JSON object (one line) for a device; "notice" only when there is one,
// "phase" only on a failure that has one.
std::string result_json(const DeviceResult& result);

using qvr::json_string;

}  // namespace qvr::cli
