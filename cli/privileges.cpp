#include "cli/privileges.h"

#include <linux/capability.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>

namespace qvr::cli {

bool drop_privileges(std::string& error) {
    // Nothing this process or a program it runs can do will give it a
    // privilege back (a set-user-ID program, a file capability).
    if (::prctl(PR_SET_NO_NEW_PRIVS, 1, 0, 0, 0) != 0 && errno != EINVAL) {
        error = std::string("no_new_privs: ") + std::strerror(errno);
        return false;
    }
    // Ambient capabilities are older kernels' absence (EINVAL), not a failure.
    ::prctl(PR_CAP_AMBIENT, PR_CAP_AMBIENT_CLEAR_ALL, 0, 0, 0);
    // The bounding set can only be lowered with CAP_SETPCAP (root has it);
    // without it, an empty permitted set with no new privileges is enough.
    for (int capability = 0; capability <= CAP_LAST_CAP; ++capability)
        if (::prctl(PR_CAPBSET_READ, capability, 0, 0, 0) == 1) ::prctl(PR_CAPBSET_DROP, capability, 0, 0, 0);
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct none[_LINUX_CAPABILITY_U32S_3] = {};
    if (::syscall(SYS_capset, &header, none) != 0) {
        error = std::string("capset: ") + std::strerror(errno);
        return false;
    }
    return true;
}

std::string status_capabilities(const char* field) {
    std::ifstream status("/proc/self/status");
    std::string line;
    const std::string prefix = std::string(field) + ":";
    while (std::getline(status, line))
        if (line.compare(0, prefix.size(), prefix) == 0) {
            std::size_t at = line.find_first_not_of(" \t", prefix.size());
            return at == std::string::npos ? "" : line.substr(at);
        }
    return "";
}

}  // namespace qvr::cli
