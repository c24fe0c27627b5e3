// What the terminal program's commands share: the rules each follows, the
// setup of a run (images, password, output), the product check, the TFTP
// listener's opening, a device's link, and the words its result is told in.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/credentials.h"
#include "cli/device_link.h"
#include "cli/image_source.h"
#include "cli/options.h"
#include "cli/progress.h"
#include "cli/results.h"
#include "cli/terminal_ui.h"
#include "common/deliverable.h"
#include "firmware/catalogue.h"
#include "firmware/product_match.h"
#include "tftp/listener.h"

namespace qvr::cli {

// The terminal program never ends a run in the middle of a device, so a
// failed connect gives no answer under either record; the caller reports
// it ("No Response From QVR", or "not responding after firmware upload").
constexpr DeliverableRules terminal_rules(DeliverableRules rules) {
    rules.connect_failure_ends_run = false;
    return rules;
}
inline constexpr DeliverableRules upgrade_rules = terminal_rules(staged_upgrader_rules);
inline constexpr DeliverableRules recover_rules = terminal_rules(recovery_upgrader_rules);

struct RunSetup {
    OutputMode mode;
    Credentials credentials;
    LoadedImages images;
};

inline constexpr const char MESSAGE_NO_RANDOM[] = "Upgrade Failed: no random number to name the file with";

void say(OutputMode mode, const std::string& text);
void print_identity(OutputMode mode, const IdentityFields& id);
int usage_failure(const std::string& text);
bool parse_address_option(const std::string& text, std::uint32_t& address, std::string& error);
std::optional<std::uint32_t> update_wait_ticks_of(const CliConfig& config);

// Before anything is sent: the image's product against the device's name,
// and the transition image's too when there is one (the worse of the two
// speaks).  go_on false: the device is refused (the reason in refusal).
// Where the catalogue cannot tell, the reason is the notice, which the end
// of the device repeats on standard error and --json keeps; the
// confirmation (or --yes) then decides.  forced: what --force let through.
struct ProductVerdict {
    bool go_on;
    std::string refusal;
    std::string notice;
    std::string forced;
};
ProductVerdict judge_product(const DeliverableRules& rules, bool force, const FirmwareImage& image,
                             const IdentityFields& identity, const FirmwareImage* transition);

// The verdict for one device at a time: said at once (a notice goes to
// standard error under --quiet or --json when a question is to follow, so
// the person answering sees it), the refusal in result.error.
bool product_check(const DeliverableRules& rules, const CliConfig& config, const FirmwareImage& image,
                   const IdentityFields& identity, OutputMode mode, DeviceResult& result,
                   const FirmwareImage* transition = nullptr);

// The question before anything is sent.  --yes answers it.
bool confirmed(const CliConfig& config, const std::string& question);

// The reason, one line, why the TFTP socket could not be had ("" when it was).
std::string listener_failure(ListenerOpen open, int bind_error, std::uint32_t pc, const CliConfig& config);

// Opens the listener on the PC address: the first free port from 69, or
// the one port asked for.  False with the reason (one line) in error.
bool open_listener(TftpListener& listener, std::uint32_t pc, std::uint32_t group, const CliConfig& config,
                   std::string& error);

TftpServer terminal_server(const DeliverableRules& rules, const CliConfig& config, TftpUi& ui,
                           const LoadedImages& images, std::atomic<std::int32_t>* stage,
                           std::atomic<const char*>* file_name, const char* label, const ProductIdentity& product);

// A device's link, whose Digest states (the password among them) are wiped
// when it is let go, whichever way the device's run ends.
using HeldLink = std::unique_ptr<DeviceLink, void (*)(DeviceLink*)>;
HeldLink new_device_link();

unsigned deadline_ms_of(const CliConfig& config);

// The file name of a stage, from the operating system's random source: a
// stranger cannot guess it within a run.
bool draw_file_name(char* out, std::size_t size, std::int32_t stage);

// Why the TFTP side of a device did not pass, most telling reason first.
std::string session_failure(const TerminalSession& session, const TftpResult& outcome, bool recovery);

// What the TFTP side of a device leaves in its result.
void record_session_outcome(DeviceResult& result, const TerminalSession& session, const TftpResult& outcome,
                            bool recovery);

// Images (for the commands that send one), the password's source, and a
// terminal for the questions unless --yes (or --check) answers them.
bool prepare(const CliConfig& config, bool transition_allowed, RunSetup& setup, std::string& error);

// The summary lines (or JSON lines) of a run; its exit code.
int finish(const CliConfig& config, const std::vector<DeviceResult>& results, const char* done_word);

}  // namespace qvr::cli
