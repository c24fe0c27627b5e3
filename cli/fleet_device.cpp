#include "cli/fleet_device.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/local_address.h"
#include "common/text.h"
#include "platform/clock.h"
#include "tftp/session.h"
#include "tftp/texts.h"
#include "web/device_targets.h"

namespace qvr::cli {

namespace {

constexpr unsigned wait_step_ms = 20;  // how often a device's worker looks at its target
constexpr unsigned name_draws = 8;     // a name already drawn in the run is drawn again, so often at most

FleetDevice& of(void* context) { return *static_cast<FleetDevice*>(context); }

void fail(FleetDevice& d, const std::string& text) {
    if (d.result.error.empty()) d.result.error = text;
    d.stopped = true;
}

// ---- The run's TFTP servers ---------------------------------------------

constexpr std::size_t refused_listed_at_most = 8;

struct RefusedList {
    std::mutex lock;
    std::vector<std::uint32_t> addresses;
    unsigned unlisted = 0;
};
RefusedList refused_requesters;

// A read request that reached no device of the run: said once per address
// on standard error (a handful are listed, the rest counted).
void refused_requester(void* context, std::uint32_t address, const char*) {
    FleetRun& run = *static_cast<FleetRun*>(context);
    // A device of the run asking again once its transfer is over (a late
    // copy of its request) is no stranger: not worth a word.
    if (std::binary_search(run.addresses.begin(), run.addresses.end(), address)) return;
    {
        std::lock_guard<std::mutex> hold(refused_requesters.lock);
        for (std::uint32_t a : refused_requesters.addresses)
            if (a == address) return;
        if (refused_requesters.addresses.size() >= refused_listed_at_most) {
            ++refused_requesters.unlisted;
            return;
        }
        refused_requesters.addresses.push_back(address);
    }
    board_note(run.board, "qvr-upgrade: a request for the image came from " + dotted(address) +
                              ", not the device: refused");
}

// The server of the device's PC address, opened by the first device that
// needs it.  Null with the reason when it could not be opened.
SharedTftpServer* server_for(FleetRun& run, std::uint32_t pc, std::string& failure) {
    std::lock_guard<std::mutex> hold(run.servers_lock);
    for (ServerOfAddress& s : run.servers)
        if (s.pc == pc) {
            failure = s.failure;
            return failure.empty() ? s.server.get() : nullptr;
        }
    const CliConfig& config = *run.config;
    ServerOfAddress entry{pc, std::make_unique<SharedTftpServer>(), ""};
    std::uint16_t first = config.tftp_port != 0 ? static_cast<std::uint16_t>(config.tftp_port) : 69;
    unsigned attempts = config.tftp_port != 0 ? 1 : tftp_port_attempts;
    ListenerOpen open =
        open_shared_tftp_server(*entry.server, pc, first, shipped_tftp_timing(upgrade_rules), attempts);
    entry.failure = listener_failure(open, entry.server->bind_error, pc, config);
    if (entry.failure.empty()) {
        entry.server->refused = refused_requester;
        entry.server->refused_context = &run;
        start_shared_tftp_server(*entry.server);
    }
    failure = entry.failure;
    run.servers.push_back(std::move(entry));
    return failure.empty() ? run.servers.back().server.get() : nullptr;
}

// ---- The TFTP side's user interface, for the update wait and the check ----

void no_dialog(void*, TftpDialog) {}
void no_close(void*) {}
void no_text(void*, const char*) {}
int no_input(void*, SocketHandle, unsigned) { return 0; }
bool no_messages(void*) { return false; }  // Ctrl-C ends the whole run elsewhere
void no_success(void*, int, const char*, const char*) {}

void wait_range(void* context, std::uint32_t high) {
    FleetDevice& d = of(context);
    board_figures(d.run->board, d.row, 0, std::uint64_t{high} * update_tick_ms, false);
}

void wait_position(void* context, std::uint32_t position) {
    FleetDevice& d = of(context);
    const BoardRow& row = *d.run->board.rows[d.row];
    board_figures(d.run->board, d.row, std::uint64_t{position} * update_tick_ms, row.total.load(), false);
}

void tell_phase(void* context, RunPhase phase) {
    FleetDevice& d = of(context);
    if (d.stopped) return;  // the phase it failed in stays
    d.phase = phase;
    board_phase(d.run->board, d.row, run_phase_name(phase));
}

int status_after_upload(void* context, std::uint32_t, std::uint32_t, char* version, std::size_t capacity) {
    FleetDevice& d = of(context);
    tell_phase(context, RunPhase::verify);
    ExchangeSpace& space = after_upload_space(d.link->spaces);
    int answer = device_request(*d.link, space, STATUS_TARGET);
    if (answer == REQUEST_GAVE_UP) answer = 0;
    if (answer > 0) {
        d.result.have_after = true;
        d.result.after = space.identity;
    }
    copy_text(version, capacity, answer > 0 ? field_text(space.identity.software_version) : "");
    return answer;
}

TftpUi fleet_ui_of(FleetDevice& d) {
    return TftpUi{&d,         no_dialog,          no_close,    wait_range,        wait_position, no_text,
                  no_text,    no_input,           no_messages, no_success,        status_after_upload, nullptr};
}

// ---- The sequence's seams --------------------------------------------------

bool publish_name(void* context, std::int32_t stage, bool second, char* out, std::size_t size) {
    FleetDevice& d = of(context);
    FleetRun& run = *d.run;
    char* name = d.names[second ? 1 : 0];
    bool drawn = false;
    for (unsigned i = 0; i < name_draws && !drawn; ++i) {
        if (!draw_file_name(name, sequence_file_name_size, stage)) break;
        std::lock_guard<std::mutex> hold(run.names_lock);
        drawn = run.names.insert(name).second;
    }
    if (!drawn) {
        fail(d, MESSAGE_NO_RANDOM);
        return false;
    }
    const LoadedImages& images = run.setup->images;
    d.target.address = d.address;
    copy_text(d.target.file_name, name);
    d.target.image = stage == sequence_transition_stage ? &images.transition : &images.target;
    d.target.stage = stage;
    // The target stage's name is served from the moment it is published:
    // the command that follows makes the device ask for it at once.
    if (second && !serve_tftp_target(*d.server, d.target)) {
        fail(d, MESSAGE_SESSION_MALLOC);
        return false;
    }
    copy_text(out, size, name);
    return true;
}

std::uint16_t start_serving(void* context) {
    FleetDevice& d = of(context);
    std::string failure;
    d.server = server_for(*d.run, d.pc, failure);
    if (d.server == nullptr) {
        fail(d, failure);
        return 0;
    }
    if (!serve_tftp_target(*d.server, d.target)) {
        fail(d, MESSAGE_SESSION_MALLOC);
        return 0;
    }
    return d.server->port;
}

void send_command(void* context, bool second, std::uint16_t port, const char* file_name) {
    FleetDevice& d = of(context);
    char target[192];
    format_upgrade_target(target, sizeof target, d.pc, port, file_name);
    ExchangeSpace& space = second ? second_command_space(d.link->spaces) : d.link->spaces.main;
    HttpOutcome http{};
    int answer = device_request(*d.link, space, target, &d.link->spaces.command_digest, &http);
    // A command the device refuses ends the device at once; one it never
    // answers does not: the transfer and the check decide.
    std::string failure = command_failure(answer, http);
    if (!failure.empty()) fail(d, failure);
}

// The served stage from the device's read request to the check of what it
// installed.  True when that stage passed.
bool serve_stage(FleetDevice& d) {
    FleetRun& run = *d.run;
    if (d.stopped) {
        withdraw_tftp_target(*d.server, d.target);
        return false;
    }
    tell_phase(&d, RunPhase::request);
    const std::uint32_t size = d.target.image->size;
    std::uint32_t since = millisecond_clock();
    TargetState state = d.target.state.load();
    while (state == TargetState::waiting) {
        if (millisecond_clock() - since >= request_wait_ms) {
            withdraw_tftp_target(*d.server, d.target);
            fail(d, "the device did not ask for the image within " + std::to_string(request_wait_ms / 1000) +
                        " s (it fetches when idle: hang up its phones)");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_step_ms));
        state = d.target.state.load();
    }
    tell_phase(&d, RunPhase::transfer);
    since = millisecond_clock();
    while (state == TargetState::transferring) {
        board_figures(run.board, d.row, d.target.bytes_acknowledged.load(), size, true);
        if (millisecond_clock() - since >= transfer_bound_ms(size)) {
            withdraw_tftp_target(*d.server, d.target);
            d.result.bytes += d.target.bytes_acknowledged.load();
            fail(d, std::string(MESSAGE_TFTP_TIME_OUT) + " (the transfer did not end within " +
                        std::to_string(transfer_bound_ms(size) / 1000) + " s)");
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(wait_step_ms));
        state = d.target.state.load();
    }
    withdraw_tftp_target(*d.server, d.target);
    d.result.bytes += d.target.bytes_acknowledged.load();
    if (state == TargetState::aborted) {
        fail(d, "Upgrade Failed: the device gave up the transfer (it sent a TFTP error)");
        return false;
    }
    if (state != TargetState::complete) {
        fail(d, MESSAGE_TFTP_TIME_OUT);
        return false;
    }
    board_figures(run.board, d.row, size, size, true);

    // The update wait, the check and the version comparison, as every
    // front end does them after a transfer.
    tell_phase(&d, RunPhase::install);
    TftpUi ui = fleet_ui_of(d);
    TftpServer server = terminal_server(upgrade_rules, *run.config, ui, run.setup->images,
                                        nullptr, nullptr, d.link->label, d.product);
    auto session = std::make_unique<TftpSession>();
    session->local_address = d.pc;
    session->transfer.peer_address = d.address;
    session->transfer.image_size = size;
    session->image = d.target.image;
    session->stage = d.target.stage;
    TftpResult result = complete_upload(*session, server, false);
    // A device that never answers after the wait did not come back from its
    // install; one that answers with the wrong version failed the check.
    if (!result.passed && result.message == MESSAGE_NOT_RESPONDING) d.phase = RunPhase::install;
    if (!result.passed) {
        fail(d, result.message != nullptr ? result.message : MESSAGE_USER_ABORT);
        return false;
    }
    return true;
}

bool wait_for_transition(void* context) { return serve_stage(of(context)); }

void wait_for_end(void* context) {
    FleetDevice& d = of(context);
    d.result.passed = serve_stage(d);
}

}  // namespace

void identify_device(FleetDevice& d) {
    FleetRun& run = *d.run;
    const CliConfig& config = *run.config;
    RunSetup& setup = *run.setup;
    d.needs_password = false;
    d.plan = PlanStep::failed;
    d.result.phase = "identify";
    d.result.error.clear();
    d.result.notice.clear();
    if (d.pc == 0) {
        d.result.error = "no route to " + dotted(d.address) + ": give --pc-address";
        return;
    }
    d.link = new_device_link();
    open_device_link(*d.link, upgrade_rules, setup.credentials, d.pc, d.address, d.result.label.c_str(),
                     deadline_ms_of(config));
    HttpOutcome http{};
    int answer = device_request(*d.link, d.link->spaces.main, STATUS_TARGET, nullptr, &http);
    const IdentityFields& identity = d.link->spaces.main.identity;
    d.result.error = status_page_failure(answer, http, identity, d.link->deadline_ms);
    if (!d.result.error.empty()) {
        d.needs_password = answer == REQUEST_GAVE_UP && setup.credentials.source == nullptr;
        d.link.reset();
        return;
    }
    d.result.have_before = true;
    d.result.before = identity;
    identify_product(upgrade_rules, setup.images.target.header, d.product);
    ProductVerdict verdict = judge_product(upgrade_rules, config.force, setup.images.target, identity,
                                           setup.images.has_transition ? &setup.images.transition : nullptr);
    d.result.notice = verdict.notice;
    if (!verdict.go_on) {
        d.result.phase = "check";
        d.result.error = verdict.refusal;
        d.plan = PlanStep::refused;
        return;
    }
    d.result.phase.clear();
    d.plan = plan_device(true, true, field_text(identity.software_version), run.image_version, config.reinstall);
}

void upgrade_device(FleetDevice& d) {
    d.stopped = false;
    d.server = nullptr;
    d.result.passed = false;
    d.target.state.store(TargetState::idle);
    begin_after_upload_space(d.link->spaces);
    UpgradeSeams seams{};
    seams.context = &d;
    seams.phase = tell_phase;
    seams.identify = nullptr;  // the whole run was identified and confirmed before
    seams.check = nullptr;
    seams.publish_file_name = publish_name;
    seams.start_serving = start_serving;
    seams.send_command = send_command;
    seams.wait_for_transition = wait_for_transition;
    seams.wait_for_end = wait_for_end;
    SequenceEnd end = run_upgrade_sequence(seams, d.run->setup->images.has_transition);
    if (end != SequenceEnd::served) d.result.passed = false;
    if (d.result.passed) {
        d.result.phase.clear();
        d.result.error.clear();
    } else {
        d.result.phase = run_phase_name(d.phase);
        if (d.result.error.empty()) d.result.error = MESSAGE_USER_ABORT;
    }
}

void open_servers(FleetRun& run, const std::vector<std::uint32_t>& pcs) {
    std::string failure;
    for (std::uint32_t pc : pcs)
        if (pc != 0) server_for(run, pc, failure);
}

void close_servers(FleetRun& run) {
    std::lock_guard<std::mutex> hold(run.servers_lock);
    for (ServerOfAddress& s : run.servers)
        if (s.failure.empty()) stop_shared_tftp_server(*s.server);
}

}  // namespace qvr::cli
