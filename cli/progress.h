// What a person sees of a transfer and of the update wait: a bar redrawn in
// place on a terminal (bytes, percent, rate, time left), plain lines when
// standard output is not a terminal, nothing with --quiet.
#pragma once

#include <cstdint>
#include <string>

namespace qvr::cli {

enum class OutputMode { bar, lines, quiet };

OutputMode output_mode(bool quiet);

enum class ProgressKind { transfer, update_wait };

struct Progress {
    OutputMode mode;
    ProgressKind kind;
    bool active;
    std::string label;     // "QVR@10.1.0.13"
    std::uint64_t total;   // bytes, or milliseconds of the wait
    std::uint64_t done;
    std::uint32_t start_ms;
    std::uint32_t last_draw_ms;
    bool drawn;
};

void progress_begin(Progress& p, ProgressKind kind, const std::string& label, std::uint64_t total,
                    std::uint32_t now_ms);
void progress_update(Progress& p, std::uint64_t done, std::uint32_t now_ms);
// Draws the last figures and ends the bar's line.
void progress_end(Progress& p, std::uint32_t now_ms);

// One line of the bar, apart so it can be tested: "label what [####    ]  45%
// figures".
std::string progress_line(const Progress& p, std::uint32_t now_ms, unsigned width);

}  // namespace qvr::cli
