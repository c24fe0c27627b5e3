// `qvr-upgrade recover SERIAL`: the portable recovery sequence driven from
// the terminal.  The discovery and the upgrade message are the recovery
// exchange with the terminal's screening (only replies naming the serial
// number asked for), the questions go to the terminal, the image is served
// by a listener on the group on a thread of its own, and the device ends
// with one result line instead of a message box.
#include "cli/commands.h"

#include <atomic>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "cli/interrupt.h"
#include "cli/local_address.h"
#include "cli/privileges.h"
#include "cli/run_common.h"
#include "cli/system_random.h"
#include "common/text.h"
#include "platform/clock.h"
#include "recovery/exchange.h"
#include "recovery/messages.h"
#include "sequence/recovery_sequence.h"
#include "tftp/file_name.h"
#include "tftp/texts.h"

namespace qvr::cli {

namespace {

// One recovery's state, shared by the seams below; run_recover holds it
// for the whole run.
struct RecoverRun {
    const CliConfig* config;
    RunSetup* setup;
    DeviceResult* result;
    std::uint32_t pc;
    const char* serial;
    RecoveryTiming timing;
    IdentityFields identity;
    std::uint32_t device;
    // The name served, written whole before its address is published.
    char name[128];
    std::atomic<const char*> file_name{nullptr};
    ProductIdentity product;
    // Opened before the discovery: the only privileged step comes before
    // the first reply is read.  Null when it could not be opened (why in
    // listener_failure).
    std::unique_ptr<TftpListener> listener;
    std::string listener_failure;
    HeldLink link{nullptr, nullptr};
    std::unique_ptr<TerminalSession> session;
    TftpUi ui;
    TftpServer server;
    TftpResult outcome{false, nullptr};
    std::thread listener_thread;
};

RecoverRun& run_of(void* context) { return *static_cast<RecoverRun*>(context); }

std::string label_of(const RecoverRun& run) { return "QVR@" + run.result->label; }

bool discover(void* context, const RecoveryMessage& message, RecoveryReply& reply) {
    RecoverRun& run = run_of(context);
    DeviceResult& result = *run.result;
    const OutputMode mode = run.setup->mode;
    say(mode, label_of(run) + ": looking for it from " + dotted(run.pc) + " (multicast " + recovery_group_text +
                  ", up to about 12 s)");
    set_stopping_point("while looking for the device", run.serial);
    // Unlike the Windows programs, only a reply naming the serial number
    // asked for is the device: another device on the LAN that answers every
    // discovery must not get its image.
    RecoveryScreen screen{};
    screen.same_serial_only = true;
    int found = recovery_exchange(0, message, reply, run.pc, run.timing, &screen);
    if (screen.other_serials != 0)
        say(mode, label_of(run) + ": ignored " + std::to_string(screen.other_serials) +
                      (screen.other_serials == 1 ? " reply naming another serial number"
                                                 : " replies naming other serial numbers"));
    if (found == 1) return true;
    // The socket's own failure is the reason; otherwise the Windows
    // programs' text, with what else the exchange met.
    if (screen.failure[0] != '\0') {
        result.error = std::string("Recovery Failed: ") + screen.failure + " (UDP port " +
                       std::to_string(run.timing.pc_port) + " on " + dotted(run.pc) + " and the group " +
                       recovery_group_text + ")";
    } else {
        result.error = MESSAGE_DEVICE_NOT_FOUND;
        if (screen.failed_sends != 0)
            result.error += " (Sending error: " + std::to_string(screen.failed_sends) + " of " +
                            std::to_string(run.timing.send_cycles) + " sends failed)";
        if (screen.other_serials != 0)
            result.error +=
                " (ignored " + std::to_string(screen.other_serials) + " replies naming other serial numbers)";
    }
    return false;
}

void found(void* context, const RecoveryReply& reply, std::uint32_t device) {
    RecoverRun& run = run_of(context);
    DeviceResult& result = *run.result;
    copy_reply_identity(reply, run.identity);
    run.device = device;
    result.have_before = true;
    result.before = run.identity;
    result.address = device != 0 ? dotted(device) : "";
    say(run.setup->mode, label_of(run) + ": found at " + (device != 0 ? dotted(device) : "no address"));
    print_identity(run.setup->mode, run.identity);
}

// Nothing goes to an address that is no device's: the listener serves only
// this address, and the status request after the upload goes to it.
void refused(void* context, ReplyRefusal refusal, std::uint32_t device, const char* why) {
    DeviceResult& result = *run_of(context).result;
    switch (refusal) {
        case ReplyRefusal::other_serial:
            result.error = "Recovery Failed: the device's reply names another serial number; nothing was sent to it";
            break;
        case ReplyRefusal::no_address:
            result.error = "Recovery Failed: the device's reply gives no address";
            break;
        case ReplyRefusal::unusable_address:
            result.error = "Recovery Failed: the device's reply gives " + dotted(device) + ", " + why +
                           "; nothing was sent to it";
            break;
    }
}

bool confirm(void* context) {
    RecoverRun& run = run_of(context);
    DeviceResult& result = *run.result;
    identify_product(recover_rules, run.setup->images.target.header, run.product);
    if (!product_check(recover_rules, *run.config, run.setup->images.target, run.identity, run.setup->mode, result))
        return false;
    if (!confirmed(*run.config, "Recover " + label_of(run) + " with " + result.image_version + "?")) {
        result.error = MESSAGE_USER_ABORT;
        return false;
    }
    return true;
}

// The name from the operating system's random source: a stranger on the
// LAN cannot guess it within the run.
bool publish_file_name(void* context, char* out, std::size_t size) {
    RecoverRun& run = run_of(context);
    std::uint32_t number = 0;
    if (!draw_system_random(number)) {
        run.result->error = "Recovery Failed: no random number to name the file with";
        return false;
    }
    format_wide_tftp_file_name(run.name, sizeof run.name, TftpNameKind::recovery, number, 1);
    run.file_name.store(run.name, std::memory_order_release);
    copy_text(out, size, run.name);
    return true;
}

std::uint16_t start_serving(void* context) {
    RecoverRun& run = run_of(context);
    const CliConfig& config = *run.config;
    if (!run.listener) {
        run.result->error = run.listener_failure;
        return 0;
    }
    run.link = new_device_link();
    open_device_link(*run.link, recover_rules, run.setup->credentials, run.pc, run.device, run.serial,
                     deadline_ms_of(config));
    // What the reply told stays where the status page names nothing.
    run.link->spaces.main.identity = run.identity;
    run.session = std::make_unique<TerminalSession>();
    start_terminal_session(*run.session, *run.link, run.setup->mode, run.setup->images.target, nullptr, nullptr);
    run.ui = terminal_tftp_ui(*run.session);
    run.server = terminal_server(recover_rules, config, run.ui, run.setup->images, nullptr, &run.file_name,
                                 run.link->label, run.product);
    // The image goes to the device the discovery found, and to no one else
    // who asks for the name.
    run.server.only_requester = run.device;
    begin_after_upload_space(run.link->spaces);
    run.listener_thread = std::thread([&run] { run.outcome = serve_tftp_requests(*run.listener, run.server); });
    say(run.setup->mode, label_of(run) + ": told to fetch the image from " + dotted(run.pc) + " port " +
                             std::to_string(run.listener->port) + " (sent to the group)");
    return run.listener->port;
}

void send_upgrade(void* context, const RecoveryMessage& message) {
    RecoverRun& run = run_of(context);
    RecoveryReply ignored{};
    RecoveryScreen told{};
    told.same_serial_only = true;
    recovery_exchange(0, message, ignored, run.pc, run.timing, &told);
    // The exchange's answer is not needed (the device's read request is),
    // but a message that never left cannot be answered: no wait for it.
    if (told.failed_sends == run.timing.send_cycles)
        stop_waiting_for_request(*run.session, "Recovery Failed: Sending error (the message telling the device "
                                               "where to fetch the image could not be sent)");
}

void wait_for_end(void* context) {
    RecoverRun& run = run_of(context);
    run.listener_thread.join();
    finish_terminal_session(*run.session);
    if (run.listener->socket != invalid_socket) close_socket(run.listener->socket);
}

constexpr RecoverySeams terminal_seams{nullptr,           nullptr,       discover,     found,       refused, confirm,
                                       publish_file_name, start_serving, send_upgrade, wait_for_end};

}  // namespace

int run_recover(const CliConfig& config) {
    std::string error;
    std::uint32_t pc = 0;
    if (!config.pc_address.empty()) {
        if (!parse_address_option(config.pc_address, pc, error) || !check_local_address(pc, error))
            return usage_failure(error);
    } else {
        std::vector<std::uint32_t> addresses = non_loopback_addresses();
        if (addresses.empty()) return usage_failure("this computer has no IPv4 address but loopback");
        if (addresses.size() > 1) {
            std::string list;
            for (std::uint32_t a : addresses) list += (list.empty() ? "" : ", ") + dotted(a);
            return usage_failure("this computer has several addresses (" + list +
                                 "): give the one on the device's LAN with --pc-address");
        }
        pc = addresses[0];
    }
    RunSetup setup{};
    if (!prepare(config, false, setup, error)) return usage_failure(error);

    // The serial number as the recovery dialog keeps it.
    char serial[recovery_serial_size];
    normalise_serial_number(serial, config.devices[0]);
    DeviceResult result{};
    result.label = serial;
    result.image_version = std::string(image_version(setup.images.target));
    const std::uint32_t started = millisecond_clock();

    auto run = std::make_unique<RecoverRun>();
    run->config = &config;
    run->setup = &setup;
    run->result = &result;
    run->pc = pc;
    run->serial = serial;
    run->timing = shipped_recovery_timing();
    run->listener = std::make_unique<TftpListener>();
    if (!open_listener(*run->listener, pc, recovery_group, config, run->listener_failure)) run->listener.reset();
    if (!drop_privileges(error)) {
        if (run->listener) close_socket(run->listener->socket);
        std::fprintf(stderr, "qvr-upgrade: cannot give up this process's privileges (%s)\n", error.c_str());
        return EXIT_SOME_FAILED;
    }
    RecoverySeams seams = terminal_seams;
    seams.context = run.get();
    const SequenceEnd end = run_recovery_sequence(seams, serial, RecoveryReplyRules{true, true, pc});
    if (end == SequenceEnd::served) {
        record_session_outcome(result, *run->session, run->outcome, true);
        result.seconds = (millisecond_clock() - started) / 1000.0;
        report_failure(result);
        set_stopping_point("after the device", nullptr);
    } else {
        if (end != SequenceEnd::not_identified) result.seconds = (millisecond_clock() - started) / 1000.0;
        report_failure(result);
    }
    // A run that ended before serving never started the listener's thread.
    if (run->listener && !run->listener_thread.joinable() && run->listener->socket != invalid_socket)
        close_socket(run->listener->socket);
    run.reset();
    wipe_credentials(setup.credentials);
    return finish(config, {result}, "recovered");
}

}  // namespace qvr::cli
