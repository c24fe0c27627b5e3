#include "cli/interrupt.h"

#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
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
termios prompt_terminal;
std::atomic<int> terminal_fd{-1};
std::atomic<std::atomic<int>*> handed_to{nullptr};

// The signals that end the run, and the word each gives the line.
constexpr int ENDING_SIGNALS[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

}  // namespace

const char* ending_word(int signal_number) {
    switch (signal_number) {
        case SIGTERM:
            return "terminated";
        case SIGHUP:
            return "hung up";
        case SIGQUIT:
            return "quit";
        default:
            return "interrupted";
    }
}

namespace {

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

// Only the terminal's foreground may change its settings: a background
// process that tried would be stopped (SIGTTOU) inside the handler.
bool terminal_is_ours(int tty) {
    return tty >= 0 && ::tcgetpgrp(tty) == ::getpgrp();
}

void on_ending_signal(int signal_number) {
    int tty = terminal_fd.load();
    if (terminal_is_ours(tty)) ::tcsetattr(tty, TCSANOW, &saved_terminal);  // echo back on
    if (std::atomic<int>* flag = handed_to.exchange(nullptr); flag != nullptr) {
        flag->store(signal_number);
        return;
    }
    char line[256];
    std::size_t at = 0;
    put(line, at, sizeof line, "\nqvr-upgrade: ");
    put(line, at, sizeof line, ending_word(signal_number));
    put(line, at, sizeof line, " ");
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
    ::_exit(signal_exit_code(signal_number));
}

void on_continue(int) {
    int saved_errno = errno;
    int tty = terminal_fd.load();
    if (terminal_is_ours(tty)) ::tcsetattr(tty, TCSANOW, &prompt_terminal);  // echo off again
    errno = saved_errno;
}

void on_stop(int);

void catch_stop() {
    struct sigaction action{};
    action.sa_handler = on_stop;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGTSTP, &action, nullptr);
}

// Ctrl-Z: the terminal as it was while the program is stopped, then the
// stop itself (the default action, raised again).  The kernel discards a
// stop in a process group that no shell controls (an orphaned one), so
// the prompt's settings are set again here as well as on SIGCONT.
void on_stop(int) {
    int saved_errno = errno;
    int tty = terminal_fd.load();
    if (terminal_is_ours(tty)) ::tcsetattr(tty, TCSANOW, &saved_terminal);
    ::signal(SIGTSTP, SIG_DFL);
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTSTP);
    ::pthread_sigmask(SIG_UNBLOCK, &stop, nullptr);
    ::raise(SIGTSTP);
    catch_stop();
    on_continue(SIGCONT);
    errno = saved_errno;
}

}  // namespace

void forbid_core_dumps() {
    rlimit none{0, 0};
    ::setrlimit(RLIMIT_CORE, &none);
    ::prctl(PR_SET_DUMPABLE, 0, 0, 0, 0);
}

int signal_exit_code(int signal_number) {
    return EXIT_SIGNALLED + signal_number;
}

void install_interrupt_handler() {
    struct sigaction action{};
    action.sa_handler = on_ending_signal;
    sigemptyset(&action.sa_mask);
    for (int s : ENDING_SIGNALS) sigaddset(&action.sa_mask, s);  // one line, one exit
    for (int s : ENDING_SIGNALS) ::sigaction(s, &action, nullptr);
    catch_stop();
    struct sigaction resume{};
    resume.sa_handler = on_continue;
    resume.sa_flags = SA_RESTART;
    sigemptyset(&resume.sa_mask);
    ::sigaction(SIGCONT, &resume, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
}

void hand_interrupts_to(std::atomic<int>* flag) { handed_to.store(flag); }

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

void set_terminal_to_restore(int fd, const termios* settings, const termios* prompt_settings) {
    if (fd < 0 || settings == nullptr) {
        terminal_fd.store(-1);
        return;
    }
    saved_terminal = *settings;
    prompt_terminal = prompt_settings != nullptr ? *prompt_settings : *settings;
    terminal_fd.store(fd);
}

void set_transfer_point(std::uint32_t bytes, std::uint32_t total) {
    transfer_bytes.store(bytes);
    transfer_total.store(total);
}

}  // namespace qvr::cli
