// The main sequence: the fixed line of dialogs and network steps of one run,
// from the first dialog to the moment the TFTP listener thread takes over.
// Each state moves on or ends the run; nothing goes back.  The line itself,
// the two-stage switch among it, is the portable upgrade sequence; this
// file gives it the dialogs, the request worker and the listener.

#include "app/dialogs.h"
#include "app/process_state.h"
#if defined(QVR_RECOVERY_UPGRADER)
#include "app/recovery_branch.h"
#endif
#include "app/startup.h"
#include "app/web_request.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "resources/resource_ids.h"
#include "sequence/upgrade_sequence.h"
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

// Address dialog and status request.  False when the run ends here (the
// reason, if any, has been reported).
bool identify_device(void*) {
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
    return true;
}

// The confirm dialog, with the staging note in a transition-stage build.
bool confirm_upgrade(void*) {
    int confirm_template = IDD_CONFIRM;
    if (is_staged_upgrader && process_state.upgrade_stage.load() == TRANSITION_STAGE)
        confirm_template = IDD_CONFIRM_TRANSITION;
    if (show_modal_dialog(confirm_template, confirm_dialog_procedure) != 1) {
        fatal_error_report("Upgrade Failed: User Abort");
        return false;
    }
    return true;
}

// The first name was drawn by the address dialog when OK was pressed; the
// target stage's, after a transition, is drawn here into a buffer of its
// own, which the listener is not reading.
bool publish_file_name(void*, std::int32_t, bool second, char* out, std::size_t size) {
    const char* name = process_state.tftp_file_name;
    if (second) {
        make_tftp_file_name(process_state.target_file_name, sizeof process_state.target_file_name,
                            TftpNameKind::staged, TARGET_STAGE);
        name = process_state.target_file_name;
    }
    publish_served_name(process_state.served_file_name, name);
    copy_text(out, size, name);
    return true;
}

// A listener that cannot start ends the run inside.
std::uint16_t start_serving(void*) {
#if defined(QVR_RECOVERY_UPGRADER)
    return start_tftp_listener(process_state.pc_address, nullptr);
#else
    return start_tftp_listener(process_state.pc_address);
#endif
}

void send_command(void*, bool second, std::uint16_t port, const char* file_name) {
    send_upgrade_command(second ? second_command_space(process_state.web) : process_state.web.main, port,
                         file_name);
#if defined(QVR_RECOVERY_UPGRADER)
    sleep_ms(10);
#endif
}

// The listener moves to the target stage once the transition image is in;
// a failed transition stage ends the process from the listener thread, so
// this wait ends only with the switch.
bool wait_for_transition(void*) {
    return wait_for_target_stage(process_state.upgrade_stage, nullptr, main_idle_step_ms, sleep_ms);
}

void wait_for_end(void*) { sleep_until_the_process_ends(); }

const UpgradeSeams dialog_seams{nullptr,       nullptr,      identify_device, confirm_upgrade,     publish_file_name,
                                start_serving, send_command, wait_for_transition, wait_for_end};

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
    // The stage moves only once the listener has started, after the
    // sequence has read it here.
    run_upgrade_sequence(dialog_seams,
                         is_staged_upgrader && process_state.upgrade_stage.load() == TRANSITION_STAGE);
    return 0;
}

}  // namespace qvr
