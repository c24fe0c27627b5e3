// The seam through which the programs' TFTP side makes its status request
// after an upload (the Windows front end's TftpUi::status_request calls it).
//
// The application sets it, before it starts the listener, to its request
// worker: "/admin/advanced" from device_address to device port 80, bound to
// pc_address from port 23456, over the process-wide Digest state, page
// buffer and identity fields, with the connecting and password dialogs.  It
// returns the exchange's result: more than 0 when the device answered with
// a page (the identity fields, the software version among them, are then
// fresh), 0 or less when it did not.  While it is unset the device counts
// as silent.
#pragma once

#include <cstdint>

namespace qvr {

using TftpStatusExchange = int (*)(std::uint32_t pc_address, std::uint32_t device_address);

extern TftpStatusExchange tftp_status_exchange;

}  // namespace qvr
