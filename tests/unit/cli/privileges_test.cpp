// Giving up privileges: once dropped, the process holds no capability and
// cannot bind a privileged port any more.  Each check runs in a child
// process, so the test program keeps its own privileges.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

#include "cli/privileges.h"

namespace qvr::cli {
namespace {

// Binds 127.0.0.1 on a port below 1024 that nothing uses: true when allowed.
bool may_bind_privileged_port() {
    int s = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(1013);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bound = ::bind(s, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(s);
    return bound;
}

// Runs `check` in a child; its exit code (0 when every part held).
int in_child(int (*check)()) {
    pid_t child = ::fork();
    if (child == 0) ::_exit(check());
    int status = 0;
    ::waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

TEST(Privileges, DroppedForGood) {
    bool could_bind = may_bind_privileged_port();
    int failed = in_child([]() -> int {
        std::string error;
        if (!drop_privileges(error)) return 1;
        for (const char* set : {"CapEff", "CapPrm", "CapInh", "CapAmb"})
            if (status_capabilities(set) != "0000000000000000") return 2;
        if (status_capabilities("NoNewPrivs") != "1") return 3;
        if (may_bind_privileged_port()) return 4;
        return 0;
    });
    EXPECT_EQ(failed, 0) << "1 drop refused, 2 a capability left, 3 new privileges possible, 4 port bound";
    if (!could_bind) GTEST_SKIP() << "not privileged here: only the empty sets were checked";
}

}  // namespace
}  // namespace qvr::cli
