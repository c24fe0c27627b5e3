#include "cli/fleet_board.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "common/text.h"

namespace qvr::cli {

namespace {

constexpr auto paint_interval = std::chrono::milliseconds(100);  // at most 10 redraws a second

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

unsigned rows_of_terminal() {
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_row >= 4) return size.ws_row;
    return 24;
}

// Takes the live area off the terminal (the cursor ends where it began).
void erase_live(Board& board) {
    if (board.live_lines == 0) return;
    std::printf("\x1b[%uA\r\x1b[J", board.live_lines);
    board.live_lines = 0;
}

void draw_live(Board& board) {
    // Room for the totals line and the "more" line; the rest for devices.
    unsigned room = board.terminal_rows > 4 ? board.terminal_rows - 3 : 1;
    unsigned shown = 0, hidden = 0, in_flight = 0, ended = 0, passed = 0, failed = 0;
    std::uint64_t bytes = board.bytes_ended;
    for (std::size_t i = 0; i < board.rows.size(); ++i) {
        const BoardRow& row = *board.rows[i];
        RowState state = row.state.load();
        if (state == RowState::ended) {
            ++ended;
            Outcome o = outcome_of((*board.results)[i]);
            if (o == Outcome::passed || o == Outcome::up_to_date || o == Outcome::would_upgrade)
                ++passed;
            else
                ++failed;
            continue;
        }
        if (state != RowState::in_flight) continue;
        ++in_flight;
        if (row.counts_bytes.load()) bytes += row.done.load();
        if (shown >= room) {
            ++hidden;
            continue;
        }
        std::printf("%s\n", live_line(row.address, row.phase.load(), row.done.load(), row.total.load(),
                                      row.counts_bytes.load()).c_str());
        ++shown;
    }
    if (hidden != 0) {
        std::printf("  ... and %u more in flight\n", hidden);
        ++shown;
    }
    std::printf("%u of %zu done (%u good, %u failed), %u in flight, %s sent\n", ended, board.rows.size(), passed,
                failed, in_flight, megabytes(bytes).c_str());
    board.live_lines = shown + 1;
    std::fflush(stdout);
}

void paint(Board& board) {
    while (board.painting.load()) {
        {
            std::lock_guard<std::mutex> hold(board.lock);
            if (!board.painting.load()) break;
            erase_live(board);
            draw_live(board);
        }
        std::this_thread::sleep_for(paint_interval);
    }
}

// Where a device was cut off, as the single-device line says it.
const char* phase_words(std::string_view phase) {
    if (phase == "identify") return "while reading the device's status page";
    if (phase == "command") return "while telling the device to fetch the image";
    if (phase == "request") return "while waiting for the device to ask for the image";
    if (phase == "transfer") return "during the transfer";
    if (phase == "install") return "while the device installs the image (it goes on by itself)";
    if (phase == "verify") return "while reading the device's status page after the upload";
    return "before anything was sent";
}

const char* outcome_text(const DeviceResult& r) {
    switch (outcome_of(r)) {
        case Outcome::passed:
            return "upgraded";
        case Outcome::failed:
            return "FAILED";
        case Outcome::up_to_date:
            return "up to date";
        case Outcome::would_upgrade:
            return "would upgrade";
        case Outcome::not_started:
            return "not started";
        case Outcome::interrupted:
            return "interrupted";
    }
    return "";
}

}  // namespace

std::string live_line(const std::string& address, const char* phase, std::uint64_t done, std::uint64_t total,
                      bool bytes) {
    char line[160];
    if (total == 0) {
        std::snprintf(line, sizeof line, "%-15s  %-8s", address.c_str(), phase);
    } else {
        if (done > total) done = total;
        unsigned percent = static_cast<unsigned>(done * 100 / total);
        if (bytes)
            std::snprintf(line, sizeof line, "%-15s  %-8s  %s of %s  %3u%%", address.c_str(), phase,
                          megabytes(done).c_str(), megabytes(total).c_str(), percent);
        else
            std::snprintf(line, sizeof line, "%-15s  %-8s  %llu of %llu s  %3u%%", address.c_str(), phase,
                          static_cast<unsigned long long>(done / 1000),
                          static_cast<unsigned long long>(total / 1000), percent);
    }
    return line;
}

std::string result_line(const DeviceResult& r) {
    std::string line = r.address.empty() ? r.label : r.address;
    line += std::string(" ") + outcome_text(r);
    std::string now(field_text(r.before.software_version));
    switch (outcome_of(r)) {
        case Outcome::passed:
            if (r.have_after) line += " to " + std::string(field_text(r.after.software_version));
            break;
        case Outcome::up_to_date:
            line += " (runs " + now + ")";
            break;
        case Outcome::would_upgrade:
            line += " from " + now + " to " + r.image_version;
            break;
        default:
            if (!r.phase.empty()) line += " (" + r.phase + ")";
            if (!r.error.empty()) line += ": " + r.error;
            break;
    }
    return inert_text(line);
}

void open_board(Board& board, OutputMode mode, bool json, std::vector<DeviceResult>& results) {
    board.mode = mode;
    board.json = json;
    board.results = &results;
    board.live_lines = 0;
    board.bytes_ended = 0;
    board.terminal_rows = mode == OutputMode::bar ? rows_of_terminal() : 24;
    board.rows.clear();
    for (const DeviceResult& r : results) {
        auto row = std::make_unique<BoardRow>();
        row->address = r.address.empty() ? r.label : r.address;
        board.rows.push_back(std::move(row));
    }
}

void start_painting(Board& board) {
    if (board.mode != OutputMode::bar || board.painting.load()) return;
    board.painting.store(true);
    board.painter = std::thread(paint, std::ref(board));
}

void stop_painting(Board& board) {
    if (!board.painting.exchange(false)) return;
    if (board.painter.joinable()) board.painter.join();
    std::lock_guard<std::mutex> hold(board.lock);
    erase_live(board);
    std::fflush(stdout);
}

void board_started(Board& board, std::size_t row) { board.rows[row]->state.store(RowState::in_flight); }

void board_phase(Board& board, std::size_t row, const char* phase) {
    BoardRow& r = *board.rows[row];
    r.phase.store(phase);
    r.done.store(0);
    r.total.store(0);
    r.counts_bytes.store(false);
    if (board.mode != OutputMode::lines) return;
    std::lock_guard<std::mutex> hold(board.lock);
    std::printf("%s %s\n", r.address.c_str(), phase);
    std::fflush(stdout);
}

void board_figures(Board& board, std::size_t row, std::uint64_t done, std::uint64_t total, bool bytes) {
    BoardRow& r = *board.rows[row];
    r.counts_bytes.store(bytes);
    r.total.store(total);
    r.done.store(done);
}

namespace {

void write_result(Board& board, std::size_t row, const DeviceResult& result) {
    BoardRow& r = *board.rows[row];
    r.written = true;
    (*board.results)[row] = result;
    if (r.counts_bytes.load()) r.counts_bytes.store(false);
    board.bytes_ended += result.bytes;
    erase_live(board);
    if (board.json) {
        std::printf("%s\n", result_json(result).c_str());
    } else if (board.mode != OutputMode::quiet) {
        std::printf("%s\n", result_line(result).c_str());
    }
    std::fflush(stdout);
    // On a terminal the result line says it all; elsewhere standard error
    // keeps its one line per failure and notice, as for a single device.
    // A device cut off by a signal has the signal's line instead.
    Outcome outcome = outcome_of(result);
    if (board.mode != OutputMode::bar && outcome != Outcome::interrupted && outcome != Outcome::not_started)
        report_failure(result);
    r.state.store(RowState::ended);
}

}  // namespace

bool board_result(Board& board, std::size_t row, const DeviceResult& result) {
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.rows[row]->written) return false;
    write_result(board, row, result);
    return true;
}

void board_requeue(Board& board, std::size_t row, const DeviceResult& result) {
    std::lock_guard<std::mutex> hold(board.lock);
    if (board.rows[row]->written) return;
    (*board.results)[row] = result;
    board.rows[row]->state.store(RowState::queued);
}

std::vector<std::string> board_end_rest(Board& board, const char* ending_word) {
    board.painting.store(false);
    std::vector<std::string> said;
    std::lock_guard<std::mutex> hold(board.lock);
    for (std::size_t row = 0; row < board.rows.size(); ++row) {
        BoardRow& r = *board.rows[row];
        if (r.written) continue;
        DeviceResult result = (*board.results)[row];
        bool in_flight = r.state.load() == RowState::in_flight;
        result.passed = false;
        result.outcome = in_flight ? Outcome::interrupted : Outcome::not_started;
        result.error.clear();
        if (in_flight) {
            result.phase = r.phase.load();
            std::string line = std::string("qvr-upgrade: ") + ending_word + " " + phase_words(r.phase.load()) +
                               " (QVR@" + result.label + ")";
            if (r.counts_bytes.load())
                line += " after " + std::to_string(r.done.load()) + " of " + std::to_string(r.total.load()) +
                        " bytes";
            said.push_back(inert_text(line + "; nothing more is sent"));
        }
        write_result(board, row, result);
    }
    std::fflush(stdout);
    if (said.empty()) said.push_back(std::string("qvr-upgrade: ") + ending_word + " before any device was "
                                      "being upgraded; nothing more is sent");
    return said;
}

void board_note(Board& board, const std::string& line) {
    std::lock_guard<std::mutex> hold(board.lock);
    erase_live(board);
    std::fflush(stdout);
    std::fprintf(stderr, "%s\n", inert_text(line).c_str());
    std::fflush(stderr);
}

}  // namespace qvr::cli
