// Compile-time differences between the two deliverables, chosen in one place.
//
// The portable code is compiled twice, once with QVR_RECOVERY_UPGRADER and
// once with QVR_STAGED_UPGRADER defined, so both variants are built and
// tested natively.  Everything that differs between the programs (time-outs,
// field widths, resource ids, what a failed connect does) is a constant here.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qvr {

#if defined(QVR_RECOVERY_UPGRADER) && !defined(QVR_STAGED_UPGRADER)
inline constexpr bool is_recovery_upgrader = true;
#elif defined(QVR_STAGED_UPGRADER) && !defined(QVR_RECOVERY_UPGRADER)
inline constexpr bool is_recovery_upgrader = false;
#else
#error "define exactly one of QVR_RECOVERY_UPGRADER or QVR_STAGED_UPGRADER"
#endif
inline constexpr bool is_staged_upgrader = !is_recovery_upgrader;

// Resource id of the embedded image (the target image in the staged-upgrader).
inline constexpr std::uint16_t firmware_resource_id = is_recovery_upgrader ? 112 : 726;
// The staged-upgrader's transition image, present only in a transition-stage build.
inline constexpr std::uint16_t transition_resource_id = 319;

// Windows Sockets version asked for at start-up (major, minor).
inline constexpr std::uint8_t winsock_major = is_recovery_upgrader ? 2 : 1;
inline constexpr std::uint8_t winsock_minor = is_recovery_upgrader ? 2 : 1;

// Width of the device label field (the typed address or the serial number).
inline constexpr std::size_t device_label_size = is_recovery_upgrader ? 32 : 64;

// Retransmission periods without the expected ACK before a transfer times out.
inline constexpr unsigned tftp_period_limit = is_recovery_upgrader ? 300 : 30;

// Step of the main thread's idle sleep once the listener owns the run.
inline constexpr unsigned main_idle_step_ms = is_recovery_upgrader ? 10 : 12;

// Window title of every fatal error report.  The spelling is the one users
// and support staff know from the field; keep it.
inline constexpr const char fatal_error_title[] = "QVR Firwmare Upgrade Error";

}  // namespace qvr
