// Requests to one device's web server, with the Digest exchange and the
// password asked for when the device challenges: what the Windows
// programs' request worker and password dialog do, for a terminal.  The
// exchanges of the two threads of an upgrade (the main thread's status
// request and upgrade commands, the listener thread's check after the
// upload) each work in their own space (web/exchange_space.h).
#pragma once

#include <cstdint>
#include <string>

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
    unsigned deadline_ms;  // each exchange, connect to the whole answer, ends within this
    RunExchangeSpaces spaces;
};

void open_device_link(DeviceLink& link, const DeliverableRules& rules, const Credentials& credentials,
                      std::uint32_t pc_address, std::uint32_t device_address, const char* label,
                      unsigned deadline_ms);

inline constexpr int REQUEST_GAVE_UP = -2;
inline constexpr const char MESSAGE_GAVE_UP_PASSWORD[] = "Upgrade Failed: User Abort (no password)";

// One request in `space` until the device answers with anything but a
// challenge.  hand_over: where an upgrade command posts its Digest state.
// Returns the bytes of the answer (0: nothing, no connection, or the
// deadline passed), or REQUEST_GAVE_UP when no password was to be had.
// outcome, when given, tells the last exchange's failure text (a socket of
// this computer that could not be had), time-out and status code.
int device_request(DeviceLink& link, ExchangeSpace& space, const char* target, DigestHandover* hand_over = nullptr,
                   HttpOutcome* outcome = nullptr);

// What the answer to a status request means: empty when the device can be
// gone on with, else the failure's text.  A page that names none of the
// identity fields is no status page (a wrong device, a login page, an
// error page), whatever its status code.
std::string status_page_failure(int answer, const HttpOutcome& outcome, const IdentityFields& identity,
                                unsigned deadline_ms);

// What the answer to an upgrade command means: empty when the transfer and
// the check after the install decide (an answer, or none at all: a device
// busy writing its flash may never answer), else the failure's text (an
// HTTP error status, the password given up, a socket of ours not had).
std::string command_failure(int answer, const HttpOutcome& outcome);

}  // namespace qvr::cli
