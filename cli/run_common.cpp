// What the terminal program's commands share: the rules they follow, the
// setup of a run, the product check, the listener, the device link and the
// words of a device's result.
#include "cli/run_common.h"

#include <cerrno>
#include <cmath>
#include <cstdio>

#include "cli/interrupt.h"
#include "cli/local_address.h"
#include "cli/system_random.h"
#include "common/random.h"
#include "common/text.h"
#include "platform/clock.h"
#include "recovery/messages.h"
#include "tftp/file_name.h"
#include "tftp/texts.h"

namespace qvr::cli {

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

ProductVerdict judge_product(const DeliverableRules& rules, bool force, const FirmwareImage& image,
                             const IdentityFields& identity, const FirmwareImage* transition) {
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
    ProductVerdict verdict{true, "", "", ""};
    switch (c.match) {
        case ProductMatch::same:
            break;
        case ProductMatch::other: {
            std::string names = c.device_catalogue;
            if (c.device_alternative != nullptr) names += " or " + std::string(c.device_alternative);
            if (!force) {
                verdict.go_on = false;
                verdict.refusal = "refused: " + which + " is for " + image_name + ", the device reports " +
                                  device_name + " (" + names + "); --force sends it anyway";
            } else {
                verdict.forced = which + " is for " + image_name + ", the device reports " + device_name +
                                 "; sent anyway (--force)";
            }
            break;
        }
        case ProductMatch::unknown_image:
            verdict.notice = "the catalogue does not know the product ID of " + which +
                             ", so it cannot tell whether it fits " + device_name;
            break;
        case ProductMatch::unknown_device:
            verdict.notice = "the catalogue does not know the product name '" + device_name +
                             "', so it cannot tell whether " + which + " for " + image_name + " fits";
            break;
        case ProductMatch::family:
            verdict.notice = image_name + " covers several models; the catalogue cannot tell whether " +
                             device_name + " is one of them";
            break;
        case ProductMatch::ambiguous:
            verdict.notice = "the product name '" + device_name + "' may be " + image_name + " or " +
                             c.device_catalogue + ", so the catalogue cannot tell whether " + which + " for " +
                             image_name + " fits";
            break;
    }
    return verdict;
}

bool product_check(const DeliverableRules& rules, const CliConfig& config, const FirmwareImage& image,
                   const IdentityFields& identity, OutputMode mode, DeviceResult& result,
                   const FirmwareImage* transition) {
    ProductVerdict verdict = judge_product(rules, config.force, image, identity, transition);
    if (!verdict.go_on) {
        result.error = verdict.refusal;
        return false;
    }
    if (!verdict.forced.empty()) say(mode, "QVR@" + result.label + ": " + verdict.forced);
    if (verdict.notice.empty()) return true;
    result.notice = verdict.notice;
    if (mode != OutputMode::quiet) {
        say(mode, "QVR@" + result.label + ": " + verdict.notice);
    } else if (!config.yes) {
        std::fprintf(stderr, "QVR@%s: %s\n", inert_text(result.label).c_str(), inert_text(verdict.notice).c_str());
        std::fflush(stderr);
    }
    return true;
}

bool confirmed(const CliConfig& config, const std::string& question) {
    if (config.yes) return true;
    // The question carries the device's own words (its version).
    return confirm_on_terminal(inert_text(question));
}

std::string listener_failure(ListenerOpen open, int bind_error, std::uint32_t pc, const CliConfig& config) {
    switch (open) {
        case ListenerOpen::opened:
            return "";
        case ListenerOpen::no_socket:
            return MESSAGE_LISTENER_SOCKET;
        case ListenerOpen::no_port:
            if (bind_error == EACCES && config.tftp_port == 0)
                return std::string(MESSAGE_LISTENER_BIND) +
                       ": UDP ports 69 to 168 need root or CAP_NET_BIND_SERVICE; run as root, or give "
                       "--tftp-port N with a free port from 1024 up";
            if (config.tftp_port != 0)
                return std::string(MESSAGE_LISTENER_BIND) + ": port " + std::to_string(config.tftp_port) + " on " +
                       dotted(pc) + " is not free";
            return std::string(MESSAGE_LISTENER_BIND) + ": no free port from 69 to 168 on " + dotted(pc);
        case ListenerOpen::join_failed:
            return std::string(MESSAGE_JOIN_FAILED) + ": cannot join the group " + recovery_group_text + " on " +
                   dotted(pc);
    }
    return MESSAGE_LISTENER_SOCKET;
}

bool open_listener(TftpListener& listener, std::uint32_t pc, std::uint32_t group, const CliConfig& config,
                   std::string& error) {
    std::uint16_t first = config.tftp_port != 0 ? static_cast<std::uint16_t>(config.tftp_port) : 69;
    unsigned attempts = config.tftp_port != 0 ? 1 : tftp_port_attempts;
    error = listener_failure(open_tftp_listener(listener, pc, first, group, attempts), listener.bind_error, pc,
                             config);
    return error.empty();
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

HeldLink new_device_link() {
    // Not value-initialised: the page buffers (256 KB a device) are written
    // before they are read, so only the pages an exchange uses are ever
    // touched, which keeps a run over many devices small.
    return HeldLink(new DeviceLink, [](DeviceLink* link) {
        wipe_exchange_secrets(link->spaces);
        delete link;
    });
}

unsigned deadline_ms_of(const CliConfig& config) {
    return static_cast<unsigned>(std::ceil(config.http_timeout_seconds * 1000.0));
}

bool draw_file_name(char* out, std::size_t size, std::int32_t stage) {
    std::uint32_t number = 0;
    if (!draw_system_random(number)) return false;
    format_wide_tftp_file_name(out, size, TftpNameKind::staged, number, stage);
    return true;
}

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

void record_session_outcome(DeviceResult& result, const TerminalSession& session, const TftpResult& outcome,
                            bool recovery) {
    result.bytes = session.bytes_acknowledged;
    result.have_after = session.status_answered;
    result.after = session.identity_after;
    result.passed = outcome.passed;
    if (!outcome.passed) result.error = session_failure(session, outcome, recovery);
}

bool prepare(const CliConfig& config, bool transition_allowed, RunSetup& setup, std::string& error) {
    setup.mode = output_mode(config.quiet || config.json);
    const bool sends_image = config.command == Command::upgrade || config.command == Command::recover;
    if (sends_image &&
        !load_images(config.image_path, config.transition_path, config.from_exe, transition_allowed, setup.images,
                     error))
        return false;
    if (!load_credentials(config.user, config.password_file, setup.credentials, error)) return false;
    // --check sends nothing that needs a yes.
    if (sends_image && !config.yes && !config.check && !have_terminal()) {
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

}  // namespace qvr::cli
