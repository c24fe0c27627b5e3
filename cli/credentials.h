// Where the device's password comes from: a file, the environment, or the
// person at the terminal.  Never the command line.
#pragma once

#include <string>

#include "web/digest.h"

namespace qvr::cli {

struct Credentials {
    std::string user;
    std::string password;  // from the file or the environment
    const char* source;    // "--password-file", "QVR_PASSWORD", or nullptr: ask on the terminal
};

// Reads --password-file (its first line) or QVR_PASSWORD.  False with the
// reason when the file cannot be read.
bool load_credentials(const std::string& user, const std::string& password_file, Credentials& out,
                      std::string& error);

// Puts the user name and a password into the Digest state for the next
// attempt.  `refused`: the device turned the last one down.  A given
// password is offered once; on the terminal the person is asked (without
// echo) each time, and an empty answer, end of input or no terminal gives
// up.  False: give up (the reason is printed on standard error).
bool supply_password(const Credentials& credentials, const char* device_label, bool refused, DigestState& digest);

// Asks a yes/no question on the terminal; false without a terminal.
bool confirm_on_terminal(const std::string& question);

// True when the process has a terminal to ask on.
bool have_terminal();

}  // namespace qvr::cli
