// Requests to one device's web server, with the Digest exchange and the
// password asked for when the device challenges: what the Windows
// programs' request worker and password dialog do, for a terminal.
#pragma once

#include <cstdint>
#include <vector>

#include "cli/credentials.h"
#include "common/deliverable.h"
#include "common/identity.h"
#include "web/digest.h"

namespace qvr::cli {

struct DeviceLink {
    const DeliverableRules* rules;
    const Credentials* credentials;
    std::uint32_t pc_address;
    std::uint32_t device_address;
    char label[64];  // shown after "QVR@"
    DigestState digest;
    IdentityFields identity;  // refreshed by every page
    std::vector<char> page;   // page_capacity + 1 bytes
};

void open_device_link(DeviceLink& link, const DeliverableRules& rules, const Credentials& credentials,
                      std::uint32_t pc_address, std::uint32_t device_address, const char* label);

inline constexpr int REQUEST_GAVE_UP = -2;

// One request until the device answers with anything but a challenge.
// Returns the bytes of the answer (0: nothing, or no connection), or
// REQUEST_GAVE_UP when no password was to be had.
int device_request(DeviceLink& link, const char* target);

}  // namespace qvr::cli
