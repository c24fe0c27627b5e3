#include "tftp/decisions.h"

#include <cstdio>

#include "resources/resource_ids.h"

namespace qvr {

ListenerAction classify_listener_datagram(const TftpPacket& packet, std::string_view expected_name) {
    switch (packet.opcode) {
        case TFTP_RRQ:
            // An RRQ whose name runs to the end of the datagram without a NUL
            // is not a request for anything we serve, even if its bytes spell
            // our name.
            if (packet.well_formed && packet.file_name == expected_name) return ListenerAction::accept;
            return ListenerAction::bad_name;
        case TFTP_WRQ:
            return ListenerAction::wrq;
        case TFTP_DATA:
            return ListenerAction::data;
        case TFTP_ACK:
            return ListenerAction::ack;
        case TFTP_ERROR:
            return ListenerAction::error;
        default:
            return ListenerAction::ignore;
    }
}

SessionAction classify_session_datagram(const TftpPacket& packet, std::uint32_t from_address,
                                        std::uint16_t from_port, std::uint32_t peer_address,
                                        std::uint16_t peer_port, std::uint32_t awaited_block) {
    if (from_address != peer_address || from_port != peer_port) return SessionAction::stranger;
    // A short ACK has no block number to compare: noise, like any other
    // opcode from the device (an ERROR included, which then ends in the
    // time-out if nothing else comes).
    if (packet.opcode != TFTP_ACK || !packet.well_formed) return SessionAction::idle;
    // Answering a duplicate ACK would send every later block twice (the
    // "sorcerer's apprentice"); only the expected one moves the transfer on.
    if (packet.block != awaited_block) return SessionAction::stale_ack;
    return SessionAction::expected_ack;
}

TftpTiming shipped_tftp_timing(const DeliverableRules& rules) {
    return TftpTiming{.polls_per_period = 100,
                      .min_period_ms = 100,
                      .period_limit = rules.tftp_period_limit,
                      .redraw_interval_ms = 50,
                      .waiting_poll_ms = 50};
}

void restart_retransmit_clock(RetransmitClock& clock, std::uint32_t now_ms) {
    clock.polls = 0;
    clock.periods = 0;
    clock.period_start_ms = now_ms;
}

bool clock_step_due(std::uint32_t& last_ms, std::uint32_t now_ms, unsigned step_ms) {
    if (now_ms - last_ms < step_ms) return false;
    last_ms = now_ms;
    return true;
}

IdleOutcome count_idle_poll(RetransmitClock& clock, std::uint32_t now_ms, const TftpTiming& timing) {
    if (clock.polls < timing.polls_per_period) ++clock.polls;
    if (clock.polls < timing.polls_per_period) return IdleOutcome::keep_waiting;
    // Unsigned difference: right across the clock's wrap.
    if (now_ms - clock.period_start_ms < timing.min_period_ms) return IdleOutcome::keep_waiting;
    ++clock.periods;
    if (clock.periods >= timing.period_limit) return IdleOutcome::timed_out;
    clock.polls = 0;
    clock.period_start_ms = now_ms;
    return IdleOutcome::retransmit;
}

bool redraw_after_progress(RedrawThrottle& throttle, std::uint32_t now_ms, bool final, unsigned interval_ms) {
    throttle.pending = true;
    if (final || !throttle.drawn || now_ms - throttle.last_ms >= interval_ms) {
        throttle.drawn = true;
        throttle.pending = false;
        throttle.last_ms = now_ms;
        return true;
    }
    return false;
}

bool redraw_when_idle(RedrawThrottle& throttle, std::uint32_t now_ms, unsigned interval_ms) {
    if (!throttle.pending || now_ms - throttle.last_ms < interval_ms) return false;
    throttle.pending = false;
    throttle.last_ms = now_ms;
    return true;
}

namespace {
const char* stage_word(std::int32_t stage) { return stage == 0 ? "Transition" : "Target"; }

bool begins_with(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.substr(0, prefix.size()) == prefix;
}
}  // namespace

void format_upload_title(char* out, std::size_t size, const DeliverableRules& rules, std::int32_t stage,
                         const char* device_label, std::uint32_t bytes_acknowledged, std::uint32_t image_size) {
    if (!rules.staged)
        std::snprintf(out, size, "Uploading Firmware to QVR@%s %u/%u Bytes", device_label,
                      static_cast<unsigned>(bytes_acknowledged), static_cast<unsigned>(image_size));
    else
        std::snprintf(out, size, "Uploading %s Firmware to QVR@%s %u/%u Bytes", stage_word(stage), device_label,
                      static_cast<unsigned>(bytes_acknowledged), static_cast<unsigned>(image_size));
}

void format_update_title(char* out, std::size_t size, const DeliverableRules& rules, std::int32_t stage,
                         const char* device_label) {
    if (!rules.staged)
        std::snprintf(out, size, "Updating Firmware to QVR@%s", device_label);
    else
        std::snprintf(out, size, "Updating %s Firmware to QVR@%s", stage_word(stage), device_label);
}

void format_success_title(char* out, std::size_t size, const char* device_label) {
    std::snprintf(out, size, "QVR@%s Upgrade Successful!", device_label);
}

namespace {
struct UpdateWaitRow {
    const char* prefix;  // compared over 7 characters
    std::uint32_t recovery_ticks;
    std::uint32_t staged_ticks;
};

// Ticks of 32 ms while the device writes its flash and restarts.
constexpr UpdateWaitRow update_wait_table[] = {
    {"QVR6800", 6250, 6250},  // 200.000 s
    {"QVR6880", 6250, 6250},  // 200.000 s
    {"QVR7x7g", 3905, 3606},  // 124.960 s, 115.392 s
    {"QVR71xG", 4686, 4699},  // 149.952 s, 150.368 s
};
constexpr std::uint32_t update_wait_other_recovery = 1562;  // 49.984 s
constexpr std::uint32_t update_wait_other_staged = 1093;    // 34.976 s

// Products whose software version needs the wide version box.
constexpr const char* wide_success_recovery[] = {"QVR6880", "QVR7x7g"};
constexpr const char* wide_success_staged[] = {"QVR6880", "QVR7x7g", "QVR71xG"};


bool is_recovery(const DeliverableRules& rules) { return rules.deliverable == Deliverable::recovery_upgrader; }
}  // namespace

std::uint32_t update_wait_ticks(const DeliverableRules& rules, std::string_view display_name) {
    for (const UpdateWaitRow& row : update_wait_table)
        if (begins_with(display_name, row.prefix)) return is_recovery(rules) ? row.recovery_ticks : row.staged_ticks;
    return is_recovery(rules) ? update_wait_other_recovery : update_wait_other_staged;
}

int success_template(const DeliverableRules& rules, std::string_view display_name) {
    if (is_recovery(rules)) {
        for (const char* prefix : wide_success_recovery)
            if (begins_with(display_name, prefix)) return IDD_SUCCESS_WIDE;
    } else {
        for (const char* prefix : wide_success_staged)
            if (begins_with(display_name, prefix)) return IDD_SUCCESS_WIDE;
    }
    return IDD_SUCCESS;
}

bool version_accepted(std::string_view reported, std::string_view served, bool phone_family) {
    return phone_family || reported == served;
}

}  // namespace qvr
