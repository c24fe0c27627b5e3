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
#include "web/exchange_space.h"

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
    // The first TFTP file name, drawn by the dialog that decides the upgrade
    // before the listener starts; a staged-upgrader's second one, drawn by
    // the main thread into a buffer of its own once the transition stage has
    // ended; and the name the listener accepts, published by pointer (null
    // between the stages).
    char tftp_file_name[tftp_file_name_size];
    char target_file_name[tftp_file_name_size];
    std::atomic<const char*> served_file_name{nullptr};
    int mode;  // recovery-upgrader only
    bool recovering;  // the recovery branch has begun (its reports say "Recovery Failed: ")
    // staged-upgrader only: written once by the listener thread (0 to 1),
    // polled by the main thread.
    std::atomic<std::int32_t> upgrade_stage{QVR_INITIAL_UPGRADE_STAGE};
    FirmwareImage image;       // the target image in the staged-upgrader
    FirmwareImage transition;  // staged-upgrader, transition-stage builds only
    ProductIdentity product;
    // The page buffers, Digest states and identity fields of the main
    // thread's requests (web.main: its identity fields are the ones the
    // confirm dialog shows) and of the listener thread's check after an
    // upload (web.after_upload), apart so that a late answer to an upgrade
    // command cannot reach the check.
    RunExchangeSpaces web;
};

extern ProcessState process_state;

}  // namespace qvr
