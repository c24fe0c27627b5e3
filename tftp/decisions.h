// The TFTP server's decisions, apart from any I/O: block arithmetic, what a
// received datagram means to the listener and to a session, when to
// retransmit or give up, when to redraw, the titles, the update wait, the
// success template and the version check.  Time comes in as an argument
// (milliseconds of a 32-bit clock that wraps), so tests can step it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/deliverable.h"
#include "tftp/packets.h"

namespace qvr {

// ---- Blocks -----------------------------------------------------------

// One block more than the full 512-byte blocks: a size that is a multiple
// of 512 ends with an empty block, which tells the device the file ended.
inline constexpr std::uint32_t tftp_block_count(std::uint32_t image_size) {
    return image_size / tftp_block_size + 1;
}
// 0 to 511: the length of the last block.
inline constexpr std::uint32_t tftp_last_block_length(std::uint32_t image_size) {
    return image_size % tftp_block_size;
}
// Length of block `number` (1 .. block count) of an image.
inline constexpr std::uint32_t tftp_block_length(std::uint32_t image_size, std::uint32_t number) {
    return number == tftp_block_count(image_size) ? tftp_last_block_length(image_size)
                                                  : static_cast<std::uint32_t>(tftp_block_size);
}
// Where block `number` (1 .. block count) starts in the image.
inline constexpr std::uint32_t tftp_block_offset(std::uint32_t number) {
    return (number - 1) * static_cast<std::uint32_t>(tftp_block_size);
}

// ---- The listener ------------------------------------------------------

enum class ListenerAction {
    accept,      // an RRQ for exactly our file name: serve it
    bad_name,    // an RRQ for anything else (or without a terminated name)
    wrq,         // opcodes 2 to 5 from anybody: dropped with their trace
    data,
    ack,
    error,
    ignore,      // any other opcode, or a datagram shorter than an opcode
};

// The name must match byte for byte, case included.
ListenerAction classify_listener_datagram(const TftpPacket& packet, std::string_view expected_name);

// Whether a read request from `from` may be served when only `only` is (0:
// anyone may ask).
inline constexpr bool requester_allowed(std::uint32_t only, std::uint32_t from) { return only == 0 || from == only; }

// The waiting dialog's activity bar: 0 .. 999, then 0 again, one step per
// millisecond of the clock however long the waits between two moves are.
inline constexpr std::uint32_t advance_activity(std::uint32_t activity, std::uint32_t steps) {
    return (activity + steps % 1000) % 1000;
}

// The steps the bar has to make: the milliseconds from last_ms to now_ms
// (right across the clock's wrap); last_ms moves to now_ms.
inline std::uint32_t activity_steps(std::uint32_t& last_ms, std::uint32_t now_ms) {
    std::uint32_t steps = now_ms - last_ms;
    last_ms = now_ms;
    return steps;
}

// ---- A session ---------------------------------------------------------

enum class SessionAction {
    stranger,      // from another address or port than the requester's: idle step
    idle,          // from the requester, but no usable ACK: idle step
    stale_ack,     // an ACK for another block: dropped, nothing sent, no idle step
    expected_ack,  // the ACK of the packet last sent
};

// `awaited_block` is the number of the block whose ACK is awaited, the DATA
// block last sent (0 for the OACK).  The ACK's 16 bits are compared with it
// as whole numbers, so block numbers never wrap.
SessionAction classify_session_datagram(const TftpPacket& packet, std::uint32_t from_address,
                                        std::uint16_t from_port, std::uint32_t peer_address,
                                        std::uint16_t peer_port, std::uint32_t awaited_block);

// The multicast group in recovery mode, otherwise the requester; always on
// the requester's port.
inline constexpr std::uint32_t session_destination(std::uint32_t group, std::uint32_t peer_address) {
    return group != 0 ? group : peer_address;
}

// How long the session waits for an ACK.  A retransmission period is
// `polls_per_period` idle polls, each waiting up to 1 ms, and never less than
// `min_period_ms` by the clock: a poll cut short by a datagram (a stranger's
// flood, say) still counts, but cannot make the period shorter in time.
// `period_limit` periods without progress end the transfer.
struct TftpTiming {
    unsigned polls_per_period;
    unsigned min_period_ms;
    unsigned period_limit;
    unsigned redraw_interval_ms;  // per-block progress redraws, at most this often
    // The waiting dialog waits for a datagram or a message up to this long
    // between two moves of its bar.  A request and a Cancel are taken the
    // moment they come, and the bar keeps its pace of one step per
    // millisecond; each move repaints the bar, most of the idle wait's cost
    // under Wine (bench/README).
    unsigned waiting_poll_ms;
};

// 100 polls and at least 100 ms a period, the deliverable's period limit,
// progress drawn at most every 50 ms and the waiting bar moved every 50 ms
// (20 times a second, as often as the upload's progress).
TftpTiming shipped_tftp_timing(const DeliverableRules& rules);

struct RetransmitClock {
    unsigned polls;
    unsigned periods;
    std::uint32_t period_start_ms;
};

enum class IdleOutcome { keep_waiting, retransmit, timed_out };

// After progress (and when the OACK first goes out): a new period starts now.
void restart_retransmit_clock(RetransmitClock& clock, std::uint32_t now_ms);

// The loops read the clock after every datagram that does not move the
// transfer on (and the listener after every datagram) and, at least this
// often, do an idle poll's work without its wait: pump the dialog, count a
// poll of the retransmission period, move the activity bar.  So however
// fast datagrams arrive (a flood of strangers, or of stale ACKs from the
// requester's own port), Cancel is answered and the retransmissions and the
// time-out keep their time: a period still needs its polls and its
// milliseconds, but a flood can stretch it to no more than about one poll
// per step.
inline constexpr unsigned tftp_clock_step_ms = 1;

// True, and last_ms moved to now_ms, when at least step_ms have passed since
// last_ms (right across the clock's wrap).
bool clock_step_due(std::uint32_t& last_ms, std::uint32_t now_ms, unsigned step_ms);

// Counts one idle poll taken at now_ms.  When the period is over it either
// asks for a retransmission (and starts the next period) or, at the period
// limit, reports the time-out.  So at most limit - 1 retransmissions happen
// between two accepted ACKs.
IdleOutcome count_idle_poll(RetransmitClock& clock, std::uint32_t now_ms, const TftpTiming& timing);

// Per-block figures (progress position and title) are drawn at most every
// interval; the last figures are always drawn, at the end or as soon as an
// idle moment comes after the interval.
struct RedrawThrottle {
    std::uint32_t last_ms;
    bool drawn;    // anything drawn yet
    bool pending;  // figures changed since the last draw
};

// Notes new figures and tells whether to draw them now.  `final` forces it.
bool redraw_after_progress(RedrawThrottle& throttle, std::uint32_t now_ms, bool final, unsigned interval_ms);
// Tells whether figures held back earlier are due now.
bool redraw_when_idle(RedrawThrottle& throttle, std::uint32_t now_ms, unsigned interval_ms);

// ---- Titles ------------------------------------------------------------
// Each cuts to fit `size` (always NUL-terminated).  `stage` is the
// staged-upgrader's upgrade stage (0 transition, 1 target); the
// recovery-upgrader's titles have no stage word.

void format_upload_title(char* out, std::size_t size, const DeliverableRules& rules, std::int32_t stage,
                         const char* device_label, std::uint32_t bytes_acknowledged, std::uint32_t image_size);
void format_update_title(char* out, std::size_t size, const DeliverableRules& rules, std::int32_t stage,
                         const char* device_label);
void format_success_title(char* out, std::size_t size, const char* device_label);

// ---- Upload completion -------------------------------------------------

// The update wait counts 32 ms ticks of the millisecond clock.
inline constexpr unsigned update_tick_shift = 5;
inline constexpr unsigned update_tick_ms = 1u << update_tick_shift;
// The 32-bit millisecond clock wraps after 2^32 ms, that is 2^27 ticks.
inline constexpr std::uint32_t update_ticks_per_wrap = 1u << 27;

inline constexpr std::uint32_t update_tick(std::uint32_t now_ms) { return now_ms >> update_tick_shift; }

// Ticks of the update wait for the product, by the first 7 characters of its
// display name (case-sensitive).
std::uint32_t update_wait_ticks(const DeliverableRules& rules, std::string_view display_name);

// Ticks since start_tick; a now_tick below start_tick means the clock has
// wrapped once in between.
inline constexpr std::uint32_t update_wait_elapsed(std::uint32_t start_tick, std::uint32_t now_tick) {
    return now_tick >= start_tick ? now_tick - start_tick : now_tick + update_ticks_per_wrap - start_tick;
}

// The success dialog's template (IDD_SUCCESS or IDD_SUCCESS_WIDE).
int success_template(const DeliverableRules& rules, std::string_view display_name);

// The staged-upgrader's check that the device runs the image just served:
// the whole text, byte for byte.  Phone-family products are not checked.
bool version_accepted(std::string_view reported, std::string_view served, bool phone_family);

}  // namespace qvr
