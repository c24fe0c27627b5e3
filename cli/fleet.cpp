#include "cli/fleet.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "cli/fleet_device.h"
#include "cli/interrupt.h"
#include "cli/inventory.h"
#include "cli/local_address.h"
#include "cli/privileges.h"
#include "common/text.h"
#include "platform/clock.h"
#include "tftp/texts.h"

namespace qvr::cli {

namespace {

using Devices = std::vector<std::unique_ptr<FleetDevice>>;

// Runs work(i) for every i below count on at most `parallel` threads.
template <class Work>
void for_each_in_parallel(std::size_t count, unsigned parallel, Work work) {
    std::atomic<std::size_t> next{0};
    auto worker = [&] {
        for (std::size_t i = next++; i < count; i = next++) work(i);
    };
    std::size_t helpers = std::min<std::size_t>(parallel, count);
    std::vector<std::thread> threads;
    for (std::size_t t = 1; t < helpers; ++t) threads.emplace_back(worker);
    worker();
    for (std::thread& t : threads) t.join();
}

// ---- Ctrl-C: every device gets its line, then the run ends -----------------

std::atomic<int> ending_signal{0};
std::atomic<bool> run_over{false};

void watch_for_signals(FleetRun& run) {
    while (!run_over.load()) {
        if (int signal_number = ending_signal.load(); signal_number != 0) {
            for (const std::string& line : board_end_rest(run.board, ending_word(signal_number)))
                std::fprintf(stderr, "%s\n", line.c_str());
            std::fflush(stderr);
            ::_exit(signal_exit_code(signal_number));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

// ---- Identification ----------------------------------------------------------

void identify_some(FleetRun& run, Devices& devices, const std::vector<std::size_t>& which) {
    for_each_in_parallel(which.size(), run.config->parallel, [&](std::size_t k) {
        FleetDevice& d = *devices[which[k]];
        board_started(run.board, d.row);
        board_phase(run.board, d.row, run_phase_name(RunPhase::identify));
        d.started_ms = millisecond_clock();
        identify_device(d);
        d.result.seconds = (millisecond_clock() - d.started_ms) / 1000.0;
    });
}

// Nobody is asked for a password while devices are read at once: the
// devices that ask for one are read again once it has been asked, a single
// time for all of them.  A device that refuses it fails (a run of one
// device asks again, as the Windows programs' dialog does).
void identify_all(FleetRun& run, Devices& devices) {
    Credentials& credentials = run.setup->credentials;
    credentials.may_ask = false;
    std::vector<std::size_t> all;
    for (std::size_t i = 0; i < devices.size(); ++i) all.push_back(i);
    identify_some(run, devices, all);
    std::vector<std::size_t> asking;
    for (std::size_t i : all)
        if (devices[i]->needs_password) asking.push_back(i);
    constexpr int single_device_attempts = 3;
    bool refused = false;
    for (int attempt = 0; !asking.empty(); ++attempt) {
        std::string who = devices.size() == 1 ? "QVR@" + devices[0]->result.label
                                              : std::to_string(asking.size()) + " devices";
        if (attempt >= (devices.size() == 1 ? single_device_attempts : 1) || !have_terminal() ||
            !ask_password_once(credentials, who, refused)) {
            for (std::size_t i : asking)
                devices[i]->result.error = std::string(MESSAGE_GAVE_UP_PASSWORD) +
                                           (have_terminal() ? "" : ": the device asks for one and there is no "
                                                                   "terminal to ask on (use --password-file or "
                                                                   "QVR_PASSWORD)");
            return;
        }
        identify_some(run, devices, asking);
        if (devices.size() != 1) return;
        refused = devices[0]->plan == PlanStep::failed && devices[0]->result.error == MESSAGE_GAVE_UP_PASSWORD;
        if (!refused) return;
    }
}

// ---- The table ---------------------------------------------------------------

void print_table(FleetRun& run, const Devices& devices) {
    const CliConfig& config = *run.config;
    // --json keeps standard output for the results: the table goes to
    // standard error, and only when someone is to answer the question.
    bool asked = !config.yes && !config.check;
    if (config.quiet || (config.json && !asked)) return;
    std::FILE* out = config.json ? stderr : stdout;
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"ADDRESS", "PRODUCT", "SERIAL NUMBER", "VERSION", "IMAGE", "WHAT WILL HAPPEN"});
    bool transition = run.setup->images.has_transition;
    for (const auto& d : devices) {
        const IdentityFields& id = d->result.before;
        bool known = d->result.have_before;
        std::string action = plan_words(d->plan, transition, config.check);
        if (d->plan == PlanStep::failed || d->plan == PlanStep::refused) action = "fails: " + d->result.error;
        rows.push_back({dotted(d->address), known ? std::string(field_text(id.product_name)) : "-",
                        known ? std::string(field_text(id.serial_number)) : "-",
                        known ? std::string(field_text(id.software_version)) : "-", run.image_version, action});
    }
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (auto& row : rows)
        for (std::size_t c = 0; c < row.size(); ++c) {
            row[c] = inert_text(row[c]);
            if (c + 1 < row.size()) width[c] = std::max(width[c], std::min<std::size_t>(row[c].size(), 24));
        }
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size() && row[c].size() < width[c] + 2) line.append(width[c] + 2 - row[c].size(), ' ');
            else if (c + 1 < row.size()) line += "  ";
        }
        std::fprintf(out, "%s\n", line.c_str());
    }
    for (const auto& d : devices)
        if (!d->result.notice.empty())
            std::fprintf(out, "QVR@%s: %s\n", inert_text(d->result.label).c_str(),
                         inert_text(d->result.notice).c_str());
    std::fflush(out);
}

bool confirmed_for(const FleetRun& run, const Devices& devices, const std::vector<std::size_t>& upgrading) {
    const RunSetup& setup = *run.setup;
    std::string question;
    if (upgrading.size() == 1) {
        const FleetDevice& d = *devices[upgrading[0]];
        question = "Upgrade QVR@" + d.result.label + " from " +
                   std::string(field_text(d.result.before.software_version)) + " to " + run.image_version + "?";
    } else {
        question = "Upgrade " + std::to_string(upgrading.size()) + " devices to " + run.image_version + "?";
    }
    if (setup.images.has_transition)
        question.insert(question.size() - 1, std::string(" (first the transition image ") +
                                                 std::string(image_version(setup.images.transition)) + ")");
    return confirmed(*run.config, question);
}

void end_device(FleetRun& run, FleetDevice& d, Outcome outcome) {
    d.result.outcome = outcome;
    if (outcome == Outcome::failed) ++run.failed;
    board_result(run.board, d.row, d.result);
}

}  // namespace

int run_upgrade(const CliConfig& config) {
    std::string error;
    std::vector<std::string> listed;
    if (!config.inventory_path.empty() && !read_inventory(config.inventory_path, listed, error))
        return usage_failure(error);
    std::vector<std::string> texts = merged_devices(config.devices, listed);
    if (texts.empty()) return usage_failure("no device to upgrade (the inventory lists none)");
    std::vector<std::uint32_t> addresses;
    for (const std::string& text : texts) {
        std::uint32_t address = 0;
        if (!parse_address_option(text, address, error)) return usage_failure(error);
        addresses.push_back(address);
    }
    std::uint32_t pc = 0;
    if (!config.pc_address.empty() &&
        (!parse_address_option(config.pc_address, pc, error) || !check_local_address(pc, error)))
        return usage_failure(error);
    RunSetup setup{};
    if (!prepare(config, true, setup, error)) return usage_failure(error);

    FleetRun run;
    run.config = &config;
    run.setup = &setup;
    run.image_version = std::string(image_version(setup.images.target));
    Devices devices;
    for (std::size_t i = 0; i < texts.size(); ++i) {
        auto d = std::make_unique<FleetDevice>();
        d->run = &run;
        d->row = i;
        d->address = addresses[i];
        d->pc = pc != 0 ? pc : route_source_address(addresses[i]);
        d->result = DeviceResult{};
        d->result.label = texts[i];
        d->result.address = dotted(addresses[i]);
        d->result.image_version = run.image_version;
        run.results.push_back(d->result);
        devices.push_back(std::move(d));
    }
    // Port 69 is bound before the first answer from a device is read, and
    // then every privilege goes (--check serves nothing, so binds nothing).
    if (!config.check) {
        std::vector<std::uint32_t> pcs;
        for (const auto& d : devices)
            if (std::find(pcs.begin(), pcs.end(), d->pc) == pcs.end()) pcs.push_back(d->pc);
        open_servers(run, pcs);
    }
    if (!drop_privileges(error)) {
        close_servers(run);
        std::fprintf(stderr, "qvr-upgrade: cannot give up this process's privileges (%s)\n", error.c_str());
        return EXIT_SOME_FAILED;
    }
    run.addresses = addresses;
    std::sort(run.addresses.begin(), run.addresses.end());
    open_board(run.board, setup.mode, config.json, run.results);
    hand_interrupts_to(&ending_signal);
    std::thread watcher(watch_for_signals, std::ref(run));

    identify_all(run, devices);
    print_table(run, devices);
    std::vector<std::size_t> upgrading;
    for (auto& d : devices) {
        board_requeue(run.board, d->row, d->result);
        switch (d->plan) {
            case PlanStep::failed:
            case PlanStep::refused:
                end_device(run, *d, Outcome::failed);
                break;
            case PlanStep::up_to_date:
                d->result.passed = true;
                end_device(run, *d, Outcome::up_to_date);
                break;
            case PlanStep::upgrade:
                if (config.check)
                    end_device(run, *d, Outcome::would_upgrade);
                else
                    upgrading.push_back(d->row);
                break;
        }
    }
    // --check asks nothing and sends nothing more.
    if (!upgrading.empty() && !confirmed_for(run, devices, upgrading)) {
        for (std::size_t i : upgrading) {
            devices[i]->result.error = MESSAGE_USER_ABORT;
            end_device(run, *devices[i], Outcome::not_started);
        }
        upgrading.clear();
    }

    start_painting(run.board);
    for_each_in_parallel(upgrading.size(), config.parallel, [&](std::size_t k) {
        FleetDevice& d = *devices[upgrading[k]];
        if (!may_start_another(run.failed.load(), config.max_fail)) {
            d.result.error = "not started: " + std::to_string(run.failed.load()) + " devices failed (--max-fail " +
                             std::to_string(config.max_fail) + ")";
            end_device(run, d, Outcome::not_started);
            return;
        }
        board_started(run.board, d.row);
        d.started_ms = millisecond_clock();
        upgrade_device(d);
        d.result.seconds = (millisecond_clock() - d.started_ms) / 1000.0;
        d.link.reset();  // its Digest states, the password among them, wiped
        end_device(run, d, d.result.passed ? Outcome::passed : Outcome::failed);
    });
    stop_painting(run.board);

    close_servers(run);
    run_over.store(true);
    hand_interrupts_to(nullptr);
    watcher.join();
    for (auto& d : devices) d->link.reset();
    wipe_credentials(setup.credentials);
    if (!config.json) {
        for (const DeviceResult& r : run.results) std::printf("%s\n", summary_line(r, "upgraded").c_str());
        std::fflush(stdout);
    }
    return fleet_exit_code(run.results);
}

}  // namespace qvr::cli
