#include "tftp/server.h"

#include "platform/clock.h"

namespace qvr {

TftpServer shipped_tftp_server() {
    TftpServer server{};
    server.first_port = 69;
    server.timing = shipped_tftp_timing();
    server.clock = millisecond_clock;
    server.sleep = sleep_ms;
    return server;
}

}  // namespace qvr
