// What the terminal program makes of the device's answers and of its own
// waits: a status page, an upgrade command, and the transfer's bound.
#include <gtest/gtest.h>

#include <string>

#include "cli/device_link.h"
#include "cli/terminal_ui.h"
#include "common/text.h"

namespace qvr::cli {
namespace {

TEST(DeviceAnswers, StatusPageAndUpgradeCommand) {
    IdentityFields named{}, none{};
    copy_text(named.software_version, "7.5.5");
    const char* bind = "Upgrade Failed: Can't bind HTTP socket";
    EXPECT_EQ(status_page_failure(900, HttpOutcome{nullptr, false, 200}, named, 30000), "");
    // Regression: a page without identity fields "succeeded" with empty fields.
    EXPECT_EQ(status_page_failure(900, HttpOutcome{nullptr, false, 404}, none, 30000),
              "Upgrade Failed: the device's status page (HTTP 404) names none of its identity fields");
    EXPECT_EQ(status_page_failure(0, HttpOutcome{nullptr, true, 0}, none, 2500),
              "Upgrade Failed: No Response From QVR (no whole answer within 2.5 s)");
    // A socket of this computer that could not be had is said as the Windows
    // programs say it, not taken for a silent device.
    EXPECT_EQ(status_page_failure(0, HttpOutcome{bind, false, 0}, none, 30000), bind);
    EXPECT_EQ(status_page_failure(REQUEST_GAVE_UP, HttpOutcome{}, none, 30000), MESSAGE_GAVE_UP_PASSWORD);
    // An error status fails the command at once; silence does not (a device
    // writing its flash may never answer).
    EXPECT_EQ(command_failure(300, HttpOutcome{nullptr, false, 503}),
              "Upgrade Failed: the device refused the upgrade command (HTTP 503)");
    EXPECT_EQ(command_failure(300, HttpOutcome{nullptr, false, 200}), "");
    EXPECT_EQ(command_failure(0, HttpOutcome{nullptr, true, 0}), "");
    EXPECT_EQ(command_failure(0, HttpOutcome{bind, false, 0}), bind);
}

// The terminal's pump ends a transfer that outlasts its overall bound
// (across the clock's wrap), and the wait for the request once stopped.
std::uint32_t fake_now = 0;

TEST(TerminalWaits, TransferBoundAndStoppedWait) {
    Credentials credentials{};
    auto link = std::make_unique<DeviceLink>();
    open_device_link(*link, staged_upgrader_rules, credentials, 0, 0, "dev", 1000);
    std::vector<std::uint8_t> bytes(5120, 0);
    FirmwareImage image{};
    attach_firmware_image(image, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    auto session = std::make_unique<TerminalSession>();
    start_terminal_session(*session, *link, OutputMode::quiet, image, nullptr, nullptr);
    session->clock = [] { return fake_now; };
    TftpUi ui = terminal_tftp_ui(*session);

    fake_now = 0xFFFFF000u;
    ui.open_dialog(ui.context, TFTP_UPLOAD_DIALOG);
    ui.set_progress_range(ui.context, 11);
    fake_now += transfer_bound_ms(5120) - 1;
    EXPECT_FALSE(ui.pump_all_messages(ui.context));
    fake_now += 1;
    EXPECT_TRUE(ui.pump_all_messages(ui.context) && session->transfer_expired);

    ui.open_dialog(ui.context, TFTP_WAITING_DIALOG);
    EXPECT_FALSE(ui.pump_all_messages(ui.context));
    stop_waiting_for_request(*session, "refused");
    EXPECT_EQ(session->stop_reason, "refused");
    EXPECT_TRUE(ui.pump_all_messages(ui.context));
    EXPECT_FALSE(session->request_wait_expired);
    finish_terminal_session(*session);
}

}  // namespace
}  // namespace qvr::cli
