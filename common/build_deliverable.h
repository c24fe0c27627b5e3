// The deliverable chosen when a program is built: the Windows programs (and
// the native tools and tests that stand in for one of them) are compiled
// with exactly one of QVR_RECOVERY_UPGRADER or QVR_STAGED_UPGRADER and take
// their rules from here.  The portable folders never include this header:
// they are built once and read the rules they are handed.
#pragma once

#include "common/deliverable.h"

namespace qvr {

#if defined(QVR_RECOVERY_UPGRADER) && !defined(QVR_STAGED_UPGRADER)
inline constexpr bool is_recovery_upgrader = true;
#elif defined(QVR_STAGED_UPGRADER) && !defined(QVR_RECOVERY_UPGRADER)
inline constexpr bool is_recovery_upgrader = false;
#else
#error "define exactly one of QVR_RECOVERY_UPGRADER or QVR_STAGED_UPGRADER"
#endif
inline constexpr bool is_staged_upgrader = !is_recovery_upgrader;

inline constexpr const DeliverableRules& build_rules =
    is_recovery_upgrader ? recovery_upgrader_rules : staged_upgrader_rules;

// The constants the Windows front end uses at compile time.
inline constexpr std::uint16_t firmware_resource_id = build_rules.firmware_resource_id;
inline constexpr std::uint8_t winsock_major = build_rules.winsock_major;
inline constexpr std::uint8_t winsock_minor = build_rules.winsock_minor;
inline constexpr std::size_t device_label_size = build_rules.device_label_size;
inline constexpr unsigned tftp_period_limit = build_rules.tftp_period_limit;
inline constexpr unsigned main_idle_step_ms = build_rules.main_idle_step_ms;

}  // namespace qvr
