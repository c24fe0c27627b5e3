// Requests to one device's web server, with the Digest exchange and the
// password asked for when the device challenges: what the Windows
// programs' request worker and password dialog do, for a terminal.  The
// exchanges of the two threads of an upgrade (the main thread's status
// request and upgrade commands, the listener thread's check after the
// upload) each work in their own space (web/exchange_space.h).
#pragma once

#include <cstdint>

#include "cli/credentials.h"
#include "common/deliverable.h"
#include "web/exchange_space.h"

namespace qvr::cli {

struct DeviceLink {
    const DeliverableRules* rules;
    const Credentials* credentials;
    std::uint32_t pc_address;
    std::uint32_t device_address;
    char label[64];  // shown after "QVR@"
    RunExchangeSpaces spaces;
};

void open_device_link(DeviceLink& link, const DeliverableRules& rules, const Credentials& credentials,
                      std::uint32_t pc_address, std::uint32_t device_address, const char* label);

inline constexpr int REQUEST_GAVE_UP = -2;

// One request in `space` until the device answers with anything but a
// challenge.  hand_over: where an upgrade command posts its Digest state.
// Returns the bytes of the answer (0: nothing, or no connection), or
// REQUEST_GAVE_UP when no password was to be had.
int device_request(DeviceLink& link, ExchangeSpace& space, const char* target, DigestHandover* hand_over = nullptr);

}  // namespace qvr::cli
