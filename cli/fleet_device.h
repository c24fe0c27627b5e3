// One device of a run over many: what it is (its identification) and its
// upgrade, driven through the portable upgrade sequence, with its image
// served by the run's shared TFTP server.  Everything the devices of a run
// share is in FleetRun; everything that belongs to one in FleetDevice.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "cli/fleet_board.h"
#include "cli/fleet_plan.h"
#include "cli/run_common.h"
#include "sequence/phase.h"
#include "sequence/upgrade_sequence.h"
#include "tftp/shared_server.h"

namespace qvr::cli {

// The TFTP server of one PC address, opened when its first device needs it.
struct ServerOfAddress {
    std::uint32_t pc;
    std::unique_ptr<SharedTftpServer> server;
    std::string failure;  // why it could not be opened ("" when it is open)
};

struct FleetRun {
    const CliConfig* config;
    RunSetup* setup;
    Board board;
    std::vector<DeviceResult> results;  // the board's: one per device, as written
    std::string image_version;          // what every device must end with
    std::vector<std::uint32_t> addresses;  // the run's devices, sorted (set before any is served)
    std::mutex servers_lock;
    std::vector<ServerOfAddress> servers;
    std::mutex names_lock;
    std::set<std::string> names;  // every file name drawn in this run: each unique
    std::atomic<unsigned> failed{0};
};

struct FleetDevice {
    FleetRun* run;
    std::size_t row;
    std::uint32_t address;
    std::uint32_t pc;
    DeviceResult result;
    HeldLink link{nullptr, nullptr};
    ProductIdentity product;
    PlanStep plan;
    bool needs_password;
    std::uint32_t started_ms;
    // The upgrade.
    RunPhase phase;
    SharedTftpServer* server;
    TftpTarget target;
    char names[2][sequence_file_name_size];
    bool stopped;  // the command was refused or no name could be drawn: nothing more to wait for
};

// Reads the device's status page and judges what to do with it: fills
// result (identity, or the failure in the identify or check phase) and
// plan.  A device that asks for a password none was given for is marked
// needs_password (the run asks once for all of them).
void identify_device(FleetDevice& device);

// The device's upgrade, from its command to the check of its new version.
// result ends passed, or failed with its phase.
void upgrade_device(FleetDevice& device);

// Opens the TFTP server of every PC address the devices will be served
// from, before anything is read from a device (binding port 69 is the only
// thing the program needs a privilege for).  A server that cannot be opened
// fails its devices when their turn comes, with the reason.
void open_servers(FleetRun& run, const std::vector<std::uint32_t>& pcs);

// Stops every server the run opened.
void close_servers(FleetRun& run);

}  // namespace qvr::cli
