#include "cli/progress.h"

#include <unistd.h>

#include <cstdio>

namespace qvr::cli {

namespace {

constexpr std::uint32_t redraw_ms = 100;

std::string megabytes(std::uint64_t bytes) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return text;
}

}  // namespace

OutputMode output_mode(bool quiet) {
    if (quiet) return OutputMode::quiet;
    return ::isatty(STDOUT_FILENO) ? OutputMode::bar : OutputMode::lines;
}

std::string progress_line(const Progress& p, std::uint32_t now_ms, unsigned width) {
    std::uint64_t done = p.done > p.total ? p.total : p.done;
    unsigned percent = p.total == 0 ? 100 : static_cast<unsigned>(done * 100 / p.total);
    unsigned filled = p.total == 0 ? width : static_cast<unsigned>(done * width / p.total);
    std::string bar(filled, '#');
    bar.append(width - filled, '.');
    double seconds = static_cast<double>(now_ms - p.start_ms) / 1000.0;
    char figures[96];
    if (p.kind == ProgressKind::transfer) {
        double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
        double left = rate > 0 ? static_cast<double>(p.total - done) / rate : 0;
        std::snprintf(figures, sizeof figures, "%s of %s  %.1f MB/s  %.0f s left", megabytes(done).c_str(),
                      megabytes(p.total).c_str(), rate / 1e6, left);
    } else {
        std::snprintf(figures, sizeof figures, "%.0f s left",
                      static_cast<double>(p.total - done) / 1000.0);
    }
    char percent_text[8];
    std::snprintf(percent_text, sizeof percent_text, "%3u%%", percent);
    const char* what = p.kind == ProgressKind::transfer ? "upload " : "install";
    return p.label + " " + what + " [" + bar + "] " + percent_text + "  " + figures;
}

void progress_begin(Progress& p, ProgressKind kind, const std::string& label, std::uint64_t total,
                    std::uint32_t now_ms) {
    p.kind = kind;
    p.active = true;
    p.label = label;
    p.total = total;
    p.done = 0;
    p.start_ms = now_ms;
    p.last_draw_ms = now_ms;
    p.drawn = false;
    if (p.mode != OutputMode::lines) return;
    if (kind == ProgressKind::transfer)
        std::printf("%s: uploading %llu bytes\n", label.c_str(), static_cast<unsigned long long>(total));
    else
        std::printf("%s: waiting %.0f s while the device installs the image\n", label.c_str(),
                    static_cast<double>(total) / 1000.0);
    std::fflush(stdout);
}

void progress_update(Progress& p, std::uint64_t done, std::uint32_t now_ms) {
    if (!p.active) return;
    p.done = done;
    if (p.mode != OutputMode::bar || (p.drawn && now_ms - p.last_draw_ms < redraw_ms)) return;
    p.drawn = true;
    p.last_draw_ms = now_ms;
    std::printf("\r%s\033[K", progress_line(p, now_ms, 30).c_str());
    std::fflush(stdout);
}

void progress_end(Progress& p, std::uint32_t now_ms) {
    if (!p.active) return;
    p.active = false;
    if (p.mode == OutputMode::bar) {
        std::printf("\r%s\033[K\n", progress_line(p, now_ms, 30).c_str());
    } else if (p.mode == OutputMode::lines && p.kind == ProgressKind::transfer) {
        double seconds = static_cast<double>(now_ms - p.start_ms) / 1000.0;
        std::printf("%s: %llu of %llu bytes acknowledged in %.2f s\n", p.label.c_str(),
                    static_cast<unsigned long long>(p.done), static_cast<unsigned long long>(p.total), seconds);
    }
    std::fflush(stdout);
}

}  // namespace qvr::cli
