// Ctrl-C: the run ends at once, as the programs' Cancel ends it.  The
// handler writes one line saying where the run stopped and ends the process
// with exit code 130; ending the process closes every socket it holds, so
// nothing is left half-open on this side.
#pragma once

#include <termios.h>

#include <cstdint>

namespace qvr::cli {

void install_interrupt_handler();

// Where the run is now, for the line: a fixed text (it must outlive the
// step) and the device it concerns.
void set_stopping_point(const char* what, const char* device_label);

// During a transfer: the bytes acknowledged so far of the total.
void set_transfer_point(std::uint32_t bytes, std::uint32_t total);

// While a password is read with echo off: the terminal and its settings to
// put back if the run is interrupted then (fd -1: nothing to restore).
void set_terminal_to_restore(int fd, const termios* settings);

}  // namespace qvr::cli
