// qvr-upgrade scan: finds the devices in ranges of addresses by their
// status page, without sending them anything else.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "common/identity.h"

namespace qvr::cli {

// One device found: it answered the status request with a page naming at
// least one identity field, or with a Digest challenge.
struct ScanFinding {
    std::uint32_t address;  // host order
    bool needs_password;    // it challenged and no password (or a refused one) was had
    IdentityFields identity;  // all empty when needs_password
};

// What a scan prints, apart from the scan itself.  The table: a header
// and one line per device sorted by address (address, product, serial
// number, software version, hardware version, MAC address), device text
// escaped for the terminal, columns as wide as their widest entry.
std::vector<std::string> scan_table(std::vector<ScanFinding> findings);

// One JSON object, one line, with the address, the five identity fields
// and needs_password: what upgrade --inventory reads back.
std::string scan_json(const ScanFinding& finding);

// The command: probes every address of config.devices' ranges, at most
// config.parallel at once, and prints the table or the JSON lines.  0 when
// at least one device was found, 1 when none was, 2 on a usage error.
int run_scan(const CliConfig& config);

}  // namespace qvr::cli
