// The terminal's own sequence around the portable core: what the Windows
// programs' main sequence and dialogs do, with the questions asked on the
// terminal and a result per device instead of a message box.
#include "cli/commands.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "cli/credentials.h"
#include "cli/device_link.h"
#include "cli/image_source.h"
#include "cli/interrupt.h"
#include "cli/local_address.h"
#include "cli/progress.h"
#include "cli/results.h"
#include "cli/system_random.h"
#include "cli/terminal_ui.h"
#include "common/deliverable.h"
#include "common/random.h"
#include "common/text.h"
#include "firmware/catalogue.h"
#include "firmware/product_match.h"
#include "platform/clock.h"
#include "recovery/exchange.h"
#include "recovery/messages.h"
#include "tftp/file_name.h"
#include "tftp/listener.h"
#include "tftp/texts.h"
#include "web/device_targets.h"

namespace qvr::cli {

namespace {

// The terminal program never ends a run in the middle of a device, so a
// failed connect gives no answer under either record; the caller reports
// it ("No Response From QVR", or "not responding after firmware upload").
constexpr DeliverableRules terminal_rules(DeliverableRules rules) {
    rules.connect_failure_ends_run = false;
    return rules;
}
constexpr DeliverableRules upgrade_rules = terminal_rules(staged_upgrader_rules);
constexpr DeliverableRules recover_rules = terminal_rules(recovery_upgrader_rules);


struct RunSetup {
    OutputMode mode;
    Credentials credentials;
    LoadedImages images;
};

void say(OutputMode mode, const std::string& text) {
    if (mode == OutputMode::quiet) return;
    std::printf("%s\n", inert_text(text).c_str());
    std::fflush(stdout);
}

void print_identity(OutputMode mode, const IdentityFields& id) {
    if (mode == OutputMode::quiet) return;
    std::printf("  Serial Number:    %s\n  MAC Address:      %s\n  Software Version: %s\n"
                "  Hardware Version: %s\n  Product Name:     %s\n",
                inert_text(field_text(id.serial_number)).c_str(), inert_text(field_text(id.mac_address)).c_str(),
                inert_text(field_text(id.software_version)).c_str(),
                inert_text(field_text(id.hardware_version)).c_str(), inert_text(field_text(id.product_name)).c_str());
    std::fflush(stdout);
}

int usage_failure(const std::string& text) {
    std::fprintf(stderr, "qvr-upgrade: %s\n", text.c_str());
    return EXIT_USAGE;
}

bool parse_address_option(const std::string& text, std::uint32_t& address, std::string& error) {
    if (!parse_dotted_quad(text, address) || address == 0) {
        error = "'" + text + "' is not an IPv4 address (a.b.c.d)";
        return false;
    }
    return true;
}

std::optional<std::uint32_t> update_wait_ticks_of(const CliConfig& config) {
    if (!config.update_wait_seconds) return std::nullopt;
    return static_cast<std::uint32_t>(std::ceil(*config.update_wait_seconds * 1000.0 / update_tick_ms));
}

// Before anything is sent: the image's product against the device's name,
// and the transition image's too when there is one (the worse of the two
// speaks).  False when the device is refused (the reason in result.error).
// Where the catalogue cannot tell, the reason goes into result.notice,
// which the end of the device repeats on standard error and --json keeps;
// under --quiet or --json it is also written at once when a question is to
// follow, so the person answering sees it.  The confirmation (or --yes)
// then decides.
bool product_check(const DeliverableRules& rules, const CliConfig& config, const FirmwareImage& image,
                   const IdentityFields& identity, OutputMode mode, DeviceResult& result,
                   const FirmwareImage* transition = nullptr) {
    ProductComparison c = compare_products(rules, image.header, identity.product_name);
    std::string which = "the image";
    if (transition != nullptr) {
        ProductComparison t = compare_products(rules, transition->header, identity.product_name);
        if (more_doubtful(t.match, c.match)) {
            c = t;
            which = "the transition image";
        }
    }
    std::string image_name = c.image.display_name;
    std::string device_name = identity.product_name;
    std::string notice;
    switch (c.match) {
        case ProductMatch::same:
            return true;
        case ProductMatch::other: {
            std::string names = c.device_catalogue;
            if (c.device_alternative != nullptr) names += " or " + std::string(c.device_alternative);
            if (!config.force) {
                result.error = "refused: " + which + " is for " + image_name + ", the device reports " +
                               device_name + " (" + names + "); --force sends it anyway";
                return false;
            }
            say(mode, "QVR@" + result.label + ": " + which + " is for " + image_name + ", the device reports " +
                          device_name + "; sent anyway (--force)");
            return true;
        }
        case ProductMatch::unknown_image:
            notice = "the catalogue does not know the product ID of " + which + ", so it cannot tell whether it "
                     "fits " + device_name;
            break;
        case ProductMatch::unknown_device:
            notice = "the catalogue does not know the product name '" + device_name +
                     "', so it cannot tell whether " + which + " for " + image_name + " fits";
            break;
        case ProductMatch::family:
            notice = image_name + " covers several models; the catalogue cannot tell whether " + device_name +
                     " is one of them";
            break;
        case ProductMatch::ambiguous:
            notice = "the product name '" + device_name + "' may be " + image_name + " or " + c.device_catalogue +
                     ", so the catalogue cannot tell whether " + which + " for " + image_name + " fits";
            break;
    }
    result.notice = notice;
    if (mode != OutputMode::quiet) {
        say(mode, "QVR@" + result.label + ": " + notice);
    } else if (!config.yes) {
        std::fprintf(stderr, "QVR@%s: %s\n", inert_text(result.label).c_str(), inert_text(notice).c_str());
        std::fflush(stderr);
    }
    return true;
}

// The question before anything is sent.  --yes answers it.
bool confirmed(const CliConfig& config, const std::string& question) {
    if (config.yes) return true;
    // The question carries the device's own words (its version).
    return confirm_on_terminal(inert_text(question));
}

// Opens the listener on the PC address: the first free port from 69, or
// the one port asked for.  False with the reason (one line) in error.
bool open_listener(TftpListener& listener, std::uint32_t pc, std::uint32_t group, const CliConfig& config,
                   std::string& error) {
    std::uint16_t first = config.tftp_port != 0 ? static_cast<std::uint16_t>(config.tftp_port) : 69;
    unsigned attempts = config.tftp_port != 0 ? 1 : tftp_port_attempts;
    switch (open_tftp_listener(listener, pc, first, group, attempts)) {
        case ListenerOpen::opened:
            return true;
        case ListenerOpen::no_socket:
            error = MESSAGE_LISTENER_SOCKET;
            return false;
        case ListenerOpen::no_port:
            if (listener.bind_error == EACCES && config.tftp_port == 0)
                error = std::string(MESSAGE_LISTENER_BIND) +
                        ": UDP ports 69 to 168 need root or CAP_NET_BIND_SERVICE; run as root, or give "
                        "--tftp-port N with a free port from 1024 up";
            else if (config.tftp_port != 0)
                error = std::string(MESSAGE_LISTENER_BIND) + ": port " + std::to_string(config.tftp_port) + " on " +
                        dotted(pc) + " is not free";
            else
                error = std::string(MESSAGE_LISTENER_BIND) + ": no free port from 69 to 168 on " + dotted(pc);
            return false;
        case ListenerOpen::join_failed:
            error = std::string(MESSAGE_JOIN_FAILED) + ": cannot join the group " + recovery_group_text + " on " +
                    dotted(pc);
            return false;
    }
    return false;
}

TftpServer terminal_server(const DeliverableRules& rules, const CliConfig& config, TftpUi& ui,
                           const LoadedImages& images, std::atomic<std::int32_t>* stage,
                           std::atomic<const char*>* file_name,
                           const char* label, const ProductIdentity& product) {
    TftpServer server = shipped_tftp_server(rules);
    server.ui = &ui;
    server.target_image = &images.target;
    server.transition_image = images.has_transition ? &images.transition : nullptr;
    server.upgrade_stage = stage;
    server.file_name = file_name;
    server.device_label = label;
    server.display_name = product.display_name;
    server.phone_family = product.phone_family != 0;
    if (config.tftp_port != 0) server.first_port = static_cast<std::uint16_t>(config.tftp_port);
    server.update_wait_ticks = update_wait_ticks_of(config);
    return server;
}

// A device's link, whose Digest states (the password among them) are wiped
// when it is let go, whichever way the device's run ends.
using HeldLink = std::unique_ptr<DeviceLink, void (*)(DeviceLink*)>;
HeldLink new_device_link() {
    return HeldLink(new DeviceLink{}, [](DeviceLink* link) {
        wipe_exchange_secrets(link->spaces);
        delete link;
    });
}

unsigned deadline_ms_of(const CliConfig& config) {
    return static_cast<unsigned>(std::ceil(config.http_timeout_seconds * 1000.0));
}

constexpr const char MESSAGE_NO_RANDOM[] = "Upgrade Failed: no random number to name the file with";

// The file name of a stage, from the operating system's random source: a
// stranger cannot guess it within a run.
bool draw_file_name(char* out, std::size_t size, std::int32_t stage) {
    std::uint32_t number = 0;
    if (!draw_system_random(number)) return false;
    format_wide_tftp_file_name(out, size, TftpNameKind::staged, number, stage);
    return true;
}

// Why the TFTP side of a device did not pass, most telling reason first.
std::string session_failure(const TerminalSession& session, const TftpResult& outcome, bool recovery) {
    if (session.stop_waiting.load(std::memory_order_acquire) && !session.stop_reason.empty())
        return session.stop_reason;
    if (session.request_wait_expired)
        return "the device did not ask for the image within " + std::to_string(request_wait_ms / 1000) + " s" +
               (recovery ? "" : " (it fetches when idle: hang up its phones)");
    if (session.transfer_expired)
        return std::string(MESSAGE_TFTP_TIME_OUT) + " (the transfer did not end within " +
               std::to_string(transfer_bound_ms(session.image_size) / 1000) + " s)";
    return outcome.message != nullptr ? outcome.message : MESSAGE_USER_ABORT;
}

// What the TFTP side of a device leaves in its result.
void record_session_outcome(DeviceResult& result, const TerminalSession& session, const TftpResult& outcome,
                            bool recovery) {
    result.bytes = session.bytes_acknowledged;
    result.have_after = session.status_answered;
    result.after = session.identity_after;
    result.passed = outcome.passed;
    if (!outcome.passed) result.error = session_failure(session, outcome, recovery);
}

void upgrade_one(const CliConfig& config, RunSetup& setup, const std::string& text, std::uint32_t device,
                 DeviceResult& result) {
    const OutputMode mode = setup.mode;
    std::uint32_t started = millisecond_clock();
    result.address = dotted(device);
    std::string error;
    std::uint32_t pc = 0;
    if (!config.pc_address.empty()) {
        parse_dotted_quad(config.pc_address, pc);
    } else if ((pc = route_source_address(device)) == 0) {
        result.error = "no route to " + text + ": give --pc-address";
        return;
    }

    HeldLink link = new_device_link();
    open_device_link(*link, upgrade_rules, setup.credentials, pc, device, text.c_str(), deadline_ms_of(config));
    say(mode, "QVR@" + text + ": reading its status page from " + dotted(pc));
    set_stopping_point("while reading the device's status page", link->label);
    HttpOutcome http{};
    int answer = device_request(*link, link->spaces.main, STATUS_TARGET, nullptr, &http);
    result.error = status_page_failure(answer, http, link->spaces.main.identity, link->deadline_ms);
    if (!result.error.empty()) return;
    result.have_before = true;
    result.before = link->spaces.main.identity;
    print_identity(mode, result.before);

    ProductIdentity product{};
    identify_product(upgrade_rules, setup.images.target.header, product);
    if (!product_check(upgrade_rules, config, setup.images.target, result.before, mode, result,
                       setup.images.has_transition ? &setup.images.transition : nullptr))
        return;
    std::string question = "Upgrade QVR@" + text + " from " + result.before.software_version + " to " +
                           result.image_version + "?";
    if (setup.images.has_transition)
        question += std::string(" (first the transition image ") +
                    std::string(image_version(setup.images.transition)) + ")";
    if (!confirmed(config, question)) {
        result.error = MESSAGE_USER_ABORT;
        return;
    }

    auto listener = std::make_unique<TftpListener>();
    if (!open_listener(*listener, pc, 0, config, error)) {
        result.error = error;
        return;
    }
    std::atomic<std::int32_t> stage{setup.images.has_transition ? 0 : 1};
    // One buffer per stage: a name is written whole before its address is
    // published to the listener, which then reads only that buffer.
    char names[2][128];
    if (!draw_file_name(names[0], sizeof names[0], stage.load())) {
        close_socket(listener->socket);
        result.error = MESSAGE_NO_RANDOM;
        return;
    }
    std::atomic<const char*> file_name{names[0]};
    auto session = std::make_unique<TerminalSession>();
    start_terminal_session(*session, *link, mode, setup.images.target,
                           setup.images.has_transition ? &setup.images.transition : nullptr, &stage);
    TftpUi ui = terminal_tftp_ui(*session);
    TftpServer server = terminal_server(upgrade_rules, config, ui, setup.images, &stage, &file_name, link->label,
                                        product);
    server.only_requester = device;

    TftpResult outcome{false, nullptr};
    std::atomic<bool> served{false};
    begin_after_upload_space(link->spaces);
    std::thread listener_thread([&] {
        outcome = serve_tftp_requests(*listener, server);
        served.store(true);
    });
    say(mode, "QVR@" + text + ": told to fetch the image from " + dotted(pc) + " port " +
                  std::to_string(listener->port));
    // A command the device refuses ends the wait for its request at once;
    // one it never answers does not: the transfer and the check decide.
    auto command = [&](ExchangeSpace& space, const char* target) {
        HttpOutcome command_http{};
        int command_answer = device_request(*link, space, target, &link->spaces.command_digest, &command_http);
        std::string failure = command_failure(command_answer, command_http);
        if (!failure.empty()) stop_waiting_for_request(*session, failure);
    };
    char target[192];
    format_upgrade_target(target, sizeof target, pc, listener->port, names[0]);
    command(link->spaces.main, target);
    if (setup.images.has_transition) {
        // The listener moves to the target stage once the transition image
        // is in; the device is then told to fetch the target image under a
        // new name, written before the command that makes it ask for it.
        while (!served.load() && stage.load() == 0) sleep_ms(upgrade_rules.main_idle_step_ms);
        if (!served.load()) {
            if (!draw_file_name(names[1], sizeof names[1], 1)) {
                stop_waiting_for_request(*session, MESSAGE_NO_RANDOM);
            } else {
                file_name.store(names[1], std::memory_order_release);
                format_upgrade_target(target, sizeof target, pc, listener->port, names[1]);
                say(mode, "QVR@" + text + ": transition image installed; now the target image");
                command(second_command_space(link->spaces), target);
            }
        }
    }
    listener_thread.join();
    finish_terminal_session(*session);
    if (listener->socket != invalid_socket) close_socket(listener->socket);
    if (session->refused_unlisted != 0)
        std::fprintf(stderr, "QVR@%s: %u more requests for the image from other addresses refused\n",
                     inert_text(text).c_str(), session->refused_unlisted);

    record_session_outcome(result, *session, outcome, false);
    result.seconds = (millisecond_clock() - started) / 1000.0;
}

bool prepare(const CliConfig& config, bool transition_allowed, RunSetup& setup, std::string& error) {
    setup.mode = output_mode(config.quiet || config.json);
    if (config.command != Command::info &&
        !load_images(config.image_path, config.transition_path, config.from_exe, transition_allowed, setup.images,
                     error))
        return false;
    if (!load_credentials(config.user, config.password_file, setup.credentials, error)) return false;
    if (!config.yes && config.command != Command::info && !have_terminal()) {
        error = "no terminal to ask for confirmation on: give --yes";
        return false;
    }
    seed_random(millisecond_clock());
    return true;
}

int finish(const CliConfig& config, const std::vector<DeviceResult>& results, const char* done_word) {
    bool all = true;
    for (const DeviceResult& r : results) all = all && r.passed;
    if (config.json) {
        for (const DeviceResult& r : results) std::printf("%s\n", result_json(r).c_str());
    } else {
        for (const DeviceResult& r : results) std::printf("%s\n", summary_line(r, done_word).c_str());
    }
    std::fflush(stdout);
    return all ? EXIT_ALL_PASSED : EXIT_SOME_FAILED;
}

}  // namespace

int run_info(const CliConfig& config) {
    RunSetup setup{};
    std::string error;
    std::uint32_t device = 0, pc = 0;
    if (!parse_address_option(config.devices[0], device, error)) return usage_failure(error);
    if (!config.pc_address.empty() &&
        (!parse_address_option(config.pc_address, pc, error) || !check_local_address(pc, error)))
        return usage_failure(error);
    if (!prepare(config, false, setup, error)) return usage_failure(error);
    if (pc == 0) pc = route_source_address(device);

    DeviceResult result{};
    result.label = config.devices[0];
    result.address = dotted(device);
    HeldLink link = new_device_link();
    open_device_link(*link, upgrade_rules, setup.credentials, pc, device, result.label.c_str(),
                     deadline_ms_of(config));
    set_stopping_point("while reading the device's status page", link->label);
    std::uint32_t started = millisecond_clock();
    HttpOutcome http{};
    int answer = device_request(*link, link->spaces.main, STATUS_TARGET, nullptr, &http);
    result.seconds = (millisecond_clock() - started) / 1000.0;
    result.error = status_page_failure(answer, http, link->spaces.main.identity, link->deadline_ms);
    result.passed = result.error.empty();
    if (answer > 0) {
        result.have_before = true;
        result.before = link->spaces.main.identity;
    }
    report_failure(result);
    if (config.json) {
        std::printf("%s\n", result_json(result).c_str());
    } else if (result.passed) {
        const IdentityFields& id = result.before;
        std::printf("Serial Number:    %s\nMAC Address:      %s\nSoftware Version: %s\n"
                    "Hardware Version: %s\nProduct Name:     %s\n",
                    inert_text(field_text(id.serial_number)).c_str(), inert_text(field_text(id.mac_address)).c_str(),
                    inert_text(field_text(id.software_version)).c_str(),
                    inert_text(field_text(id.hardware_version)).c_str(),
                    inert_text(field_text(id.product_name)).c_str());
    }
    std::fflush(stdout);
    wipe_exchange_secrets(link->spaces);
    wipe_credentials(setup.credentials);
    return result.passed ? EXIT_ALL_PASSED : EXIT_SOME_FAILED;
}

int run_upgrade(const CliConfig& config) {
    std::string error;
    std::vector<std::uint32_t> devices;
    for (const std::string& text : config.devices) {
        std::uint32_t address = 0;
        if (!parse_address_option(text, address, error)) return usage_failure(error);
        devices.push_back(address);
    }
    std::uint32_t pc = 0;
    if (!config.pc_address.empty() &&
        (!parse_address_option(config.pc_address, pc, error) || !check_local_address(pc, error)))
        return usage_failure(error);
    RunSetup setup{};
    if (!prepare(config, true, setup, error)) return usage_failure(error);

    std::vector<DeviceResult> results;
    for (std::size_t i = 0; i < devices.size(); ++i) {
        DeviceResult result{};
        result.label = config.devices[i];
        result.image_version = std::string(image_version(setup.images.target));
        upgrade_one(config, setup, config.devices[i], devices[i], result);
        report_failure(result);
        results.push_back(result);
    }
    set_stopping_point("after the last device", nullptr);
    wipe_credentials(setup.credentials);
    return finish(config, results, "upgraded");
}

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
    const OutputMode mode = setup.mode;

    // The serial number as the recovery dialog keeps it.
    char serial[recovery_serial_size];
    normalise_serial_number(serial, config.devices[0]);
    DeviceResult result{};
    result.label = serial;
    result.image_version = std::string(image_version(setup.images.target));
    std::uint32_t started = millisecond_clock();

    say(mode, "QVR@" + result.label + ": looking for it from " + dotted(pc) + " (multicast " +
                  recovery_group_text + ", up to about 12 s)");
    set_stopping_point("while looking for the device", serial);
    RecoveryReply reply{};
    RecoveryMessage discover = make_recovery_message(RECOVERY_DISCOVER, serial);
    // Unlike the Windows programs, only a reply naming the serial number
    // asked for is the device: another device on the LAN that answers every
    // discovery must not get its image.
    RecoveryScreen screen{};
    screen.same_serial_only = true;
    const RecoveryTiming timing = shipped_recovery_timing();
    int found = recovery_exchange(0, discover, reply, pc, timing, &screen);
    if (screen.other_serials != 0)
        say(mode, "QVR@" + result.label + ": ignored " + std::to_string(screen.other_serials) +
                      (screen.other_serials == 1 ? " reply naming another serial number"
                                                 : " replies naming other serial numbers"));
    if (found != 1) {
        close_recovery_socket();
        // The socket's own failure is the reason; otherwise the Windows
        // programs' text, with what else the exchange met.
        if (screen.failure[0] != '\0') {
            result.error = std::string("Recovery Failed: ") + screen.failure + " (UDP port " +
                           std::to_string(timing.pc_port) + " on " + dotted(pc) + " and the group " +
                           recovery_group_text + ")";
        } else {
            result.error = MESSAGE_DEVICE_NOT_FOUND;
            if (screen.failed_sends != 0)
                result.error += " (Sending error: " + std::to_string(screen.failed_sends) + " of " +
                                std::to_string(timing.send_cycles) + " sends failed)";
            if (screen.other_serials != 0)
                result.error += " (ignored " + std::to_string(screen.other_serials) +
                                " replies naming other serial numbers)";
        }
        report_failure(result);
        wipe_credentials(setup.credentials);
        return finish(config, {result}, "recovered");
    }
    IdentityFields identity{};
    copy_reply_identity(reply, identity);
    std::uint32_t device = reply_device_address(reply);
    result.have_before = true;
    result.before = identity;
    result.address = device != 0 ? dotted(device) : "";
    say(mode, "QVR@" + result.label + ": found at " + (device != 0 ? dotted(device) : "no address"));
    print_identity(mode, identity);

    auto fail = [&](const std::string& text) {
        close_recovery_socket();
        result.error = text;
        result.seconds = (millisecond_clock() - started) / 1000.0;
        report_failure(result);
        wipe_credentials(setup.credentials);
        return finish(config, {result}, "recovered");
    };
    // Nothing goes to an address that is no device's: the listener serves
    // only this address, and the status request after the upload goes to it.
    if (const char* unusable = unusable_device_address(device, pc); unusable != nullptr)
        return fail(device == 0 ? std::string("Recovery Failed: the device's reply gives no address")
                                : "Recovery Failed: the device's reply gives " + dotted(device) + ", " + unusable +
                                      "; nothing was sent to it");

    ProductIdentity product{};
    identify_product(recover_rules, setup.images.target.header, product);
    if (!product_check(recover_rules, config, setup.images.target, identity, mode, result))
        return fail(result.error);
    if (!confirmed(config, "Recover QVR@" + result.label + " with " + result.image_version + "?"))
        return fail(MESSAGE_USER_ABORT);

    auto listener = std::make_unique<TftpListener>();
    if (!open_listener(*listener, pc, recovery_group, config, error)) return fail(error);
    char name[128];
    std::uint32_t number = 0;
    if (!draw_system_random(number)) {
        close_socket(listener->socket);
        return fail("Recovery Failed: no random number to name the file with");
    }
    format_wide_tftp_file_name(name, sizeof name, TftpNameKind::recovery, number, 1);
    std::atomic<const char*> file_name{name};
    HeldLink link = new_device_link();
    open_device_link(*link, recover_rules, setup.credentials, pc, device, serial, deadline_ms_of(config));
    // What the reply told stays where the status page names nothing.
    link->spaces.main.identity = identity;
    auto session = std::make_unique<TerminalSession>();
    start_terminal_session(*session, *link, mode, setup.images.target, nullptr, nullptr);
    TftpUi ui = terminal_tftp_ui(*session);
    TftpServer server = terminal_server(recover_rules, config, ui, setup.images, nullptr, &file_name, link->label,
                                        product);
    // The image goes to the device the discovery found, and to no one else
    // who asks for the name.
    server.only_requester = device;
    begin_after_upload_space(link->spaces);

    TftpResult outcome{false, nullptr};
    std::thread listener_thread([&] { outcome = serve_tftp_requests(*listener, server); });
    say(mode, "QVR@" + result.label + ": told to fetch the image from " + dotted(pc) + " port " +
                  std::to_string(listener->port) + " (sent to the group)");
    // No upgrade command over HTTP: the device has no working web pages.
    // It is told where to fetch the image by the same multicast exchange.
    RecoveryMessage upgrade = make_recovery_message(RECOVERY_UPGRADE, serial, listener->port, name);
    RecoveryReply ignored{};
    RecoveryScreen told{};
    told.same_serial_only = true;
    recovery_exchange(0, upgrade, ignored, pc, timing, &told);
    // The exchange's answer is not needed (the device's read request is),
    // but a message that never left cannot be answered: no wait for it.
    if (told.failed_sends == timing.send_cycles) {
        stop_waiting_for_request(*session, "Recovery Failed: Sending error (the message telling the device "
                                           "where to fetch the image could not be sent)");
    }
    listener_thread.join();
    finish_terminal_session(*session);
    if (listener->socket != invalid_socket) close_socket(listener->socket);
    close_recovery_socket();

    record_session_outcome(result, *session, outcome, true);
    result.seconds = (millisecond_clock() - started) / 1000.0;
    report_failure(result);
    set_stopping_point("after the device", nullptr);
    wipe_credentials(setup.credentials);
    return finish(config, {result}, "recovered");
}

}  // namespace qvr::cli
