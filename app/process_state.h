// Process-wide state of one run: written by the start-up and the dialogs on
// the main thread before the TFTP listener starts, read afterwards without
// locks.  The portable subsystems never reach in here; they are handed what
// they need.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/build_deliverable.h"
#include "common/identity.h"
#include "firmware/catalogue.h"
#include "firmware/image.h"
#include "web/digest.h"
#include "web/http_exchange.h"

namespace qvr {

inline constexpr std::size_t local_address_capacity = 8;
inline constexpr std::size_t tftp_file_name_size = 128;

enum RunMode : int { RECOVERY_MODE = 0, UPGRADE_MODE = 1 };

#ifndef QVR_INITIAL_UPGRADE_STAGE
#define QVR_INITIAL_UPGRADE_STAGE 1
#endif
inline constexpr std::int32_t TRANSITION_STAGE = 0;
inline constexpr std::int32_t TARGET_STAGE = 1;

struct ProcessState {
    void* instance;  // the module instance handle
    std::uint32_t local_addresses[local_address_capacity];  // host order, ends at the first 0
    std::uint32_t pc_address;
    std::uint32_t device_address;
    char device_label[device_label_size];
    char tftp_file_name[tftp_file_name_size];
    IdentityFields identity;
    int mode;  // recovery-upgrader only
    // staged-upgrader only: written once by the listener thread (0 to 1),
    // polled by the main thread.
    std::atomic<std::int32_t> upgrade_stage{QVR_INITIAL_UPGRADE_STAGE};
    FirmwareImage image;       // the target image in the staged-upgrader
    FirmwareImage transition;  // staged-upgrader, transition-stage builds only
    ProductIdentity product;
    DigestState digest;  // the device credentials and the latest challenge
    // Each request is composed here and its response read over it.
    char page_buffer[page_capacity + 1];
};

extern ProcessState process_state;

}  // namespace qvr
