// The only way the programs talk to the device's web server: one request on
// a worker thread, behind the cancellable connecting dialog, with the
// password dialog and a repeat when the device asks for credentials.
#pragma once

#include <cstdint>

#include "web/exchange_space.h"

namespace qvr {

struct WebRequest {
    void* instance;               // owner of the dialog templates
    std::uint32_t pc_address;     // local address to bind (0: any)
    std::uint16_t base_port;      // first local port tried: 23456
    std::uint32_t device_address;
    std::uint16_t device_port;    // 80
    const char* target;           // "/admin/advanced" or the upgrade command
    char* buffer;                 // the space's page buffer, capacity + 1 bytes
    std::uint32_t capacity;       // 131071
    // The calling thread's Digest state and identity fields (and page
    // buffer, above): only its own worker writes them, while it waits.
    ExchangeSpace* space;
    // Upgrade commands only: where the composed request's Digest state is
    // posted for the check after the upload; null otherwise.
    DigestHandover* hand_over;
};

// A request over the given space, as the main sequence and the check after
// an upload make it.
WebRequest device_request(ExchangeSpace& space, std::uint32_t pc_address, std::uint32_t device_address,
                          const char* target, DigestHandover* hand_over = nullptr);

// Runs the exchange until the device answers with anything but a Digest
// challenge; returns the bytes received (0: nothing, or in the
// staged-upgrader no connection).  Never returns when the user cancels: the
// run then ends with "Upgrade Failed: User Abort".
int run_web_request(WebRequest request);

}  // namespace qvr
