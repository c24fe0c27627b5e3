// Signals: the run ends at once, as the programs' Cancel ends it.  SIGINT
// (Ctrl-C), SIGTERM, SIGHUP and SIGQUIT all put the terminal back as it
// was (echo on, when a password prompt had turned it off), write one line
// saying where the run stopped and end the process with exit code 128
// plus the signal's number; ending the process closes every socket it
// holds, so nothing is left half-open on this side.  SIGQUIT writes no
// core.  Ctrl-Z (SIGTSTP) at a password prompt gives the echo back while
// the program is stopped and turns it off again when it goes on.
#pragma once

#include <termios.h>

#include <atomic>
#include <cstdint>

namespace qvr::cli {

// At the very start, before any password is held: no core dump is ever
// written (its size limit is 0 and the process is not dumpable, which
// also keeps other processes of the user from reading its memory).
void forbid_core_dumps();

void install_interrupt_handler();

// A run over many devices ends them all itself: while `flag` is set here
// (nullptr: no longer), an ending signal only puts the terminal back and
// stores its number in *flag; the run then writes every device's line and
// exits with signal_exit_code.  A second signal ends the process at once.
void hand_interrupts_to(std::atomic<int>* flag);

// Where the run is now, for the line: a fixed text (it must outlive the
// step) and the device it concerns.
void set_stopping_point(const char* what, const char* device_label);

// During a transfer: the bytes acknowledged so far of the total.
void set_transfer_point(std::uint32_t bytes, std::uint32_t total);

// While a password is read with echo off: the terminal, the settings to
// put back when the run ends or stops, and those of the prompt to set
// again when it goes on (fd -1: nothing to restore).
void set_terminal_to_restore(int fd, const termios* settings, const termios* prompt_settings);

// The word a signal ends the run with: "interrupted" (SIGINT),
// "terminated", "hung up", "quit".
const char* ending_word(int signal_number);

// The exit code for a signal that ends the run: 128 plus its number.
int signal_exit_code(int signal_number);

}  // namespace qvr::cli
