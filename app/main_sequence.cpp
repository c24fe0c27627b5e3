// The main sequence: the fixed line of dialogs and network steps of one run,
// from the first dialog to the moment the TFTP listener thread takes over.
// Each state moves on or ends the run; nothing goes back.

#include "app/dialogs.h"
#include "app/process_state.h"
#if defined(QVR_RECOVERY_UPGRADER)
#include "app/recovery_branch.h"
#endif
#include "app/startup.h"
#include "app/web_request.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "resources/resource_ids.h"
#include "tftp/file_name.h"
#include "tftp/listener.h"
#include "tftp/status_request.h"
#include "web/device_targets.h"

namespace qvr {

namespace {

// "/admin/upgrade?tftp://a.b.c.d:port/qvrXXXX.biN" for the chosen PC address.
// The exchange posts its Digest state for the check after the upload, which
// the listener thread may start before the device has answered this one.
void send_upgrade_command(ExchangeSpace& space, std::uint16_t port, const char* file_name) {
    char target[192];
    format_upgrade_target(target, sizeof target, process_state.pc_address, port, file_name);
    run_web_request(device_request(space, process_state.pc_address, process_state.device_address, target,
                                   &process_state.web.command_digest));
}

// The check after an upload: the status page through the request worker,
// like every other request, in the listener thread's own space.
int status_request_after_upload(std::uint32_t pc_address, std::uint32_t device_address) {
    return run_web_request(
        device_request(after_upload_space(process_state.web), pc_address, device_address, STATUS_TARGET));
}

// Address dialog, status request and confirm dialog.  False when the run
// ends here (the reason, if any, has been reported).
bool identify_device() {
    int address_template = IDD_ADDRESS;
    if (process_state.product.phone_family != 0)
        address_template = is_recovery_upgrader ? IDD_ADDRESS_PHONE_RECOVERY : IDD_ADDRESS_PHONE_STAGED;
    if (show_modal_dialog(address_template, address_dialog_procedure) != 1) return false;
    if (process_state.device_address == 0) return false;

    if (run_web_request(device_request(process_state.web.main, process_state.pc_address,
                                       process_state.device_address, STATUS_TARGET)) == 0) {
        fatal_error_report(MESSAGE_NO_RESPONSE);
        return false;
    }

    int confirm_template = IDD_CONFIRM;
    if (is_staged_upgrader && process_state.upgrade_stage.load() == TRANSITION_STAGE)
        confirm_template = IDD_CONFIRM_TRANSITION;
    if (show_modal_dialog(confirm_template, confirm_dialog_procedure) != 1) {
        fatal_error_report("Upgrade Failed: User Abort");
        return false;
    }
    return true;
}

}  // namespace

int run_main_sequence() {
    // The check after an upload goes through the request worker in both
    // modes; it is only used once the listener has served the image.
    tftp_status_exchange = status_request_after_upload;
#if defined(QVR_RECOVERY_UPGRADER)
    if (show_modal_dialog(IDD_WELCOME, welcome_dialog_procedure) != 1) return 0;
    // The mode is read only here, after the welcome dialog has set it: its
    // start value is recovery mode.
    if (process_state.mode == RECOVERY_MODE) return run_recovery_branch();
#endif
    if (show_modal_dialog(IDD_NOTICE, notice_dialog_procedure) != 1) return 0;
    if (!identify_device()) return 0;

#if defined(QVR_RECOVERY_UPGRADER)
    std::uint16_t port = start_tftp_listener(process_state.pc_address, nullptr);
    send_upgrade_command(process_state.web.main, port, process_state.tftp_file_name);
    sleep_ms(10);
#else
    std::uint16_t port = start_tftp_listener(process_state.pc_address);
    bool transition = process_state.upgrade_stage.load() == TRANSITION_STAGE;
    send_upgrade_command(process_state.web.main, port, process_state.tftp_file_name);
    if (transition) {
        // The listener switches to the target stage once the transition
        // image is in, and serves no name until the next one is published;
        // then the device is told to fetch the target image under that new
        // name.  The name is written whole, in a buffer of its own, and
        // published before the command that makes the device ask for it.
        while (process_state.upgrade_stage.load() == TRANSITION_STAGE) sleep_ms(main_idle_step_ms);
        make_tftp_file_name(process_state.target_file_name, sizeof process_state.target_file_name,
                            TftpNameKind::staged, TARGET_STAGE);
        process_state.served_file_name.store(process_state.target_file_name, std::memory_order_release);
        send_upgrade_command(second_command_space(process_state.web), port, process_state.target_file_name);
    }
#endif
    sleep_until_the_process_ends();
}

}  // namespace qvr
