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
#include "cli/run_common.h"

namespace qvr::cli {

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

}  // namespace qvr::cli
