// What a person or a script sees of a run over many devices.  On a
// terminal: one live line per device in flight (address, phase, bytes,
// percent) and a totals line, redrawn at most 10 times a second, with each
// device's result line written above them as it ends.  Otherwise plain
// lines, each starting with the device's address.  With --json: one JSON
// object per device as it ends on standard output, nothing else there.
// Every device's result is written exactly once, whoever ends it.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "cli/progress.h"
#include "cli/results.h"

namespace qvr::cli {

enum class RowState : int { queued, in_flight, ended };

struct BoardRow {
    std::string address;
    std::atomic<RowState> state{RowState::queued};
    std::atomic<const char*> phase{""};
    // Bytes of the transfer, or milliseconds of the update wait.
    std::atomic<std::uint64_t> done{0};
    std::atomic<std::uint64_t> total{0};
    std::atomic<bool> counts_bytes{false};
    bool written = false;  // its result line is out (under the board's lock)
};

struct Board {
    OutputMode mode;
    bool json;
    std::mutex lock;  // every write to standard output and error while the board runs
    std::vector<std::unique_ptr<BoardRow>> rows;
    std::vector<DeviceResult>* results;  // one per row, in the order given
    unsigned live_lines;                 // lines of the live area now on the terminal
    unsigned terminal_rows;
    std::uint64_t bytes_ended;           // bytes of the transfers already over
    std::atomic<bool> painting{false};
    std::thread painter;
};

// The rows, one per device (results must outlive the board).
void open_board(Board& board, OutputMode mode, bool json, std::vector<DeviceResult>& results);

// The live area on a terminal: started for the upgrades, stopped (and
// cleared) before anything else is written at length.
void start_painting(Board& board);
void stop_painting(Board& board);

void board_started(Board& board, std::size_t row);
// The phase a device is in now (a fixed text: "command", "request", ...).
// Plain lines: written at once ("10.1.0.13 transfer").
void board_phase(Board& board, std::size_t row, const char* phase);
void board_figures(Board& board, std::size_t row, std::uint64_t done, std::uint64_t total, bool bytes);

// The device's result line, once: later calls for the same row do nothing.
// Returns whether this call wrote it.
bool board_result(Board& board, std::size_t row, const DeviceResult& result);

// Between the identification and the upgrades: the device's result as
// identified (what an interruption reports it with) and the row waiting.
void board_requeue(Board& board, std::size_t row, const DeviceResult& result);

// An ending signal: every row without its line gets one now, interrupted
// when it was in flight, not-started when it had not begun.  Returns the
// lines for standard error, one per device cut off ("qvr-upgrade:
// interrupted during the transfer (QVR@10.1.0.13) after N of M bytes;
// nothing more is sent"), or one saying nothing was in flight.
std::vector<std::string> board_end_rest(Board& board, const char* ending_word);

// Writes a line on standard error without tearing the live area.
void board_note(Board& board, const std::string& line);

// The plain line of a result: "10.1.0.13 passed: upgraded to 7.5.6a".
std::string result_line(const DeviceResult& result);

// One live line: "10.1.0.13   transfer  2.1 MB of 4.3 MB  49%".
std::string live_line(const std::string& address, const char* phase, std::uint64_t done, std::uint64_t total,
                      bool bytes);

}  // namespace qvr::cli
