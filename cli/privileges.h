// Privileges: the program needs one, and only for one thing.  Binding the
// TFTP server's port 69 takes CAP_NET_BIND_SERVICE (the file capability
// the package sets, or root); everything after it, parsing the pages,
// replies and datagrams that strangers on the LAN can shape, needs none.
// So the commands bind first and then give up every capability before
// they read the first answer from a device.
#pragma once

#include <string>

namespace qvr::cli {

// Clears every capability set of the process (effective, permitted,
// inheritable, ambient, and the bounding set where it may), and forbids
// gaining any back (no new privileges, even through exec).  False with
// the reason when the kernel refused to lower them.
bool drop_privileges(std::string& error);

// The hexadecimal value of a line of /proc/self/status ("CapEff", say),
// for the checks; empty when it is not there.
std::string status_capabilities(const char* field);

}  // namespace qvr::cli
