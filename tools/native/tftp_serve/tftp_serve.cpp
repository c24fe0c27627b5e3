// Serves one firmware image file with the programs' own TFTP listener and
// session code, with a user interface that shows nothing, then exits.
//
//   tftp_serve --image PATH --file /qvr1a2b.bi1 [--address 127.0.0.1]
//              [--port 69] [--group 234.4.8.10] [--no-completion]
//              [--limit-seconds 120]
//
// Prints "port N" once the listener is bound (the first free port from
// --port), then serves the one read request for --file.  After the last ACK
// it runs the update wait and a status request that answers with the
// image's own version, unless --no-completion skips both.  The run ends as
// the programs' runs end: "success <title> <version>" on standard output
// after a passed upload, or the failure report on standard error; the exit
// code is 0 either way (as in the programs).  With no transfer finished
// within --limit-seconds it gives up with exit code 2.  SIGUSR1 stands for
// the Cancel button of the waiting and upload dialogs: the next pump takes
// it ("Upgrade Failed: User Abort") and says on standard error how many
// milliseconds after the signal that was.
//
// --group serves as in recovery mode: the listener joins the group on
// --address and the session sends its OACK and DATA to the group on the
// requester's port, taking ACKs only from the requester's address and port.
// The tool follows the recovery-upgrader's rules, the only deliverable
// whose listener takes a group.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "firmware/catalogue.h"
#include "firmware/image.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "platform/socket.h"
#include "tftp/listener.h"

namespace {

using namespace qvr;

FirmwareImage served_image;
ProductIdentity product;

void no_dialog(void*, TftpDialog) {}
void no_close(void*) {}
void no_number(void*, std::uint32_t) {}
void no_text(void*, const char*) {}
// Set by SIGUSR1, with the clock reading when it came.
std::atomic<bool> cancel_posted{false};
std::atomic<std::uint32_t> cancel_posted_ms{0};

void post_cancel(int) {
    cancel_posted_ms = millisecond_clock();
    cancel_posted = true;
}

bool pump_cancel(void*) {
    if (!cancel_posted.load()) return false;
    std::fprintf(stderr, "tftp_serve: cancel taken %u ms after the signal\n",
                 static_cast<unsigned>(millisecond_clock() - cancel_posted_ms.load()));
    return true;
}

void print_success(void*, int, const char* title, const char* version) {
    std::printf("success %s %s\n", title, version);
    std::fflush(stdout);
}

// The device "answers" with the version it was just given.
int answer_with_image_version(void*, std::uint32_t, std::uint32_t, char* version, std::size_t capacity) {
    std::string_view v = image_version(served_image);
    std::snprintf(version, capacity, "%.*s", static_cast<int>(v.size()), v.data());
    return 1;
}

// No messages here: the socket alone (SIGUSR1 cuts a wait short).
int wait_for_datagram(void*, SocketHandle socket, unsigned timeout_ms) {
    return wait_readable(socket, static_cast<int>(timeout_ms));
}

const TftpUi null_ui{nullptr,     no_dialog,         no_close,    no_number,     no_number,
                     no_text,     no_text,           wait_for_datagram, pump_cancel, print_success,
                     answer_with_image_version, nullptr};

// Ends as the programs end: the report (if any) on standard error, exit 0.
[[noreturn]] void end_as_the_programs_do(TftpListener& listener, const TftpResult& result) {
    close_socket(listener.socket);
    if (result.message != nullptr) fatal_error_report(result.message);
    std::fflush(nullptr);
    std::_Exit(0);
}

int usage() {
    std::fprintf(stderr,
                 "usage: tftp_serve --image PATH --file NAME [--address A.B.C.D] [--port N]\n"
                 "                  [--group A.B.C.D] [--no-completion] [--limit-seconds N]\n");
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    std::signal(SIGUSR1, post_cancel);
    const char* image_path = nullptr;
    const char* file_name = nullptr;
    const char* group = nullptr;
    std::uint32_t address = 0x7F000001u;
    unsigned long port = 69;
    unsigned long limit_seconds = 120;
    bool completion = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--image" && has_value) {
            image_path = argv[++i];
        } else if (arg == "--file" && has_value) {
            file_name = argv[++i];
        } else if (arg == "--address" && has_value) {
            if (!parse_dotted_quad(argv[++i], address)) return usage();
        } else if (arg == "--port" && has_value) {
            port = std::strtoul(argv[++i], nullptr, 10);
            if (port == 0 || port > 65535) return usage();
        } else if (arg == "--group" && has_value) {
            group = argv[++i];
            std::uint32_t checked = 0;
            if (!parse_dotted_quad(group, checked)) return usage();
        } else if (arg == "--limit-seconds" && has_value) {
            limit_seconds = std::strtoul(argv[++i], nullptr, 10);
        } else if (arg == "--no-completion") {
            completion = false;
        } else {
            return usage();
        }
    }
    if (image_path == nullptr || file_name == nullptr) return usage();

    std::ifstream in(image_path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "tftp_serve: cannot read %s\n", image_path);
        return 2;
    }
    static std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(in), {}};
    if (bytes.size() > image_max_size) {
        std::fprintf(stderr, "tftp_serve: %s is too large to serve\n", image_path);
        return 2;
    }
    attach_firmware_image(served_image, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    identify_product(recovery_upgrader_rules, served_image.header, product);

    TftpServer server = shipped_tftp_server(recovery_upgrader_rules);
    server.ui = &null_ui;
    server.target_image = &served_image;
    static std::atomic<const char*> served_name;
    served_name = file_name;
    server.file_name = &served_name;
    server.device_label = "tftp_serve";
    server.display_name = product.display_name;
    server.phone_family = product.phone_family != 0;
    server.first_port = static_cast<std::uint16_t>(port);
    server.skip_completion = !completion;

    ListenerStart started = start_tftp_listener(server, address, group, end_as_the_programs_do);
    if (started.failure != nullptr) {
        fatal_error_report(started.failure, started.caption);
        std::fflush(nullptr);
        std::_Exit(0);
    }
    std::uint16_t bound = started.port;
    std::printf("port %u\n", static_cast<unsigned>(bound));
    std::fflush(stdout);

    // The listener thread ends the process; this is only the safety limit.
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(limit_seconds);
    while (std::chrono::steady_clock::now() < deadline) sleep_ms(100);
    std::fprintf(stderr, "tftp_serve: no transfer finished within %lu s\n", limit_seconds);
    std::fflush(stderr);
    std::_Exit(2);
}
