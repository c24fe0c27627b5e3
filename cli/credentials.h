// Where the device's password comes from: a file, the environment, or the
// person at the terminal.  Never the command line.
//
// A password is held in fixed fields only (never in a growing string,
// whose old buffers would be freed unwiped), and every copy that is no
// longer needed is overwritten with zeros: the line read from the file or
// the terminal once it is in place, the environment's copy once taken.
#pragma once

#include <cstddef>
#include <string>

#include "web/digest.h"
#include "web/exchange_space.h"

namespace qvr::cli {

struct Credentials {
    std::string user;
    char password[digest_text_size];  // from the file or the environment (cut to 127 bytes, as the Digest state)
    const char* source;               // "--password-file", "QVR_PASSWORD", "the terminal", or nullptr: ask
    // With no source: false while several devices are read at once, so
    // nobody is asked in the middle of other devices' work (the device
    // then gives up, and the caller asks once for all of them).
    bool may_ask = true;
};

// Reads --password-file (its first line) or QVR_PASSWORD; the variable's
// value in this process's environment is overwritten once read.  False
// with the reason when the file cannot be read.
bool load_credentials(const std::string& user, const std::string& password_file, Credentials& out,
                      std::string& error);

// Asks once on the terminal (without echo) for the password that
// `devices` ask for, and keeps it as the run's password ("the terminal"
// is its source from then on).  `refused`: the one asked before was turned
// down.  False when there is no terminal or the answer is empty.
bool ask_password_once(Credentials& credentials, const std::string& devices, bool refused);

// Puts the user name and a password into the Digest state for the next
// attempt.  `refused`: the device turned the last one down.  A given
// password is offered once; on the terminal the person is asked (without
// echo) each time, and an empty answer, end of input or no terminal gives
// up.  False: give up (the reason is printed on standard error).
bool supply_password(const Credentials& credentials, const char* device_label, bool refused, DigestState& digest);

// Overwrites n bytes with zeros in a way the compiler may not drop.
void wipe_secret(void* bytes, std::size_t n);

// The password of the run, once no device needs it any more.
void wipe_credentials(Credentials& credentials);

// Every Digest state of a device's exchanges (each holds the password),
// once the device is done with.  The handover is taken under its lock.
void wipe_exchange_secrets(RunExchangeSpaces& spaces);

// Asks a yes/no question on the terminal; false without a terminal.
bool confirm_on_terminal(const std::string& question);

// True when the process has a terminal to ask on.
bool have_terminal();

}  // namespace qvr::cli
