#include "tftp/server.h"

#include "platform/clock.h"
#include "platform/thread.h"

namespace qvr {

TftpServer shipped_tftp_server(const DeliverableRules& rules) {
    TftpServer server{};
    server.rules = &rules;
    server.first_port = 69;
    server.timing = shipped_tftp_timing(rules);
    server.clock = millisecond_clock;
    server.sleep = sleep_ms;
    server.start_thread = start_detached_thread;
    return server;
}

}  // namespace qvr
