#include "cli/interrupt.h"

#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

#include "cli/options.h"
#include "common/text.h"

namespace qvr::cli {

namespace {

std::atomic<const char*> stopping_what{"before anything was sent"};
char device_labels[2][64];
std::atomic<int> current_label{-1};
std::atomic<std::uint32_t> transfer_bytes{0};
std::atomic<std::uint32_t> transfer_total{0};
termios saved_terminal;
std::atomic<int> terminal_fd{-1};

// Async-signal-safe pieces of the line.
void put(char* line, std::size_t& at, std::size_t size, const char* text) {
    while (*text != '\0' && at + 1 < size) line[at++] = *text++;
}

void put_number(char* line, std::size_t& at, std::size_t size, std::uint32_t n) {
    char digits[16];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + n % 10);
        n /= 10;
    } while (n != 0);
    while (count > 0 && at + 1 < size) line[at++] = digits[--count];
}

void on_interrupt(int) {
    int tty = terminal_fd.load();
    if (tty >= 0) ::tcsetattr(tty, TCSAFLUSH, &saved_terminal);  // echo back on
    char line[256];
    std::size_t at = 0;
    put(line, at, sizeof line, "\nqvr-upgrade: interrupted ");
    put(line, at, sizeof line, stopping_what.load());
    int label = current_label.load();
    if (label >= 0) {
        put(line, at, sizeof line, " (QVR@");
        put(line, at, sizeof line, device_labels[label]);
        put(line, at, sizeof line, ")");
    }
    std::uint32_t total = transfer_total.load();
    if (total != 0) {
        put(line, at, sizeof line, " after ");
        put_number(line, at, sizeof line, transfer_bytes.load());
        put(line, at, sizeof line, " of ");
        put_number(line, at, sizeof line, total);
        put(line, at, sizeof line, " bytes");
    }
    put(line, at, sizeof line, "; nothing more is sent\n");
    (void)!::write(STDERR_FILENO, line, at);
    ::_exit(EXIT_INTERRUPTED);
}

}  // namespace

void install_interrupt_handler() {
    struct sigaction action{};
    action.sa_handler = on_interrupt;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void set_stopping_point(const char* what, const char* device_label) {
    transfer_total.store(0);
    if (device_label != nullptr) {
        // Two slots, so the handler never reads a label being rewritten.
        int next = current_label.load() == 0 ? 1 : 0;
        copy_text(device_labels[next], device_label);
        current_label.store(next);
    } else {
        current_label.store(-1);
    }
    stopping_what.store(what);
}

void set_terminal_to_restore(int fd, const termios* settings) {
    if (fd < 0 || settings == nullptr) {
        terminal_fd.store(-1);
        return;
    }
    saved_terminal = *settings;
    terminal_fd.store(fd);
}

void set_transfer_point(std::uint32_t bytes, std::uint32_t total) {
    transfer_bytes.store(bytes);
    transfer_total.store(total);
}

}  // namespace qvr::cli
