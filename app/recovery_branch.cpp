// Recovery mode: the recovery dialog (serial number and PC address), the
// discovery behind the connecting dialog, the confirm dialog with what the
// device reported, then the same TFTP side as an upgrade, except that the
// device is told where to fetch the image by a second multicast message
// and the image goes to the group.  The line itself is the portable
// recovery sequence; this file gives it the dialogs and the listener.
#include "app/recovery_branch.h"

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <cstdio>

#include "app/dialogs.h"
#include "app/process_state.h"
#include "common/text.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "recovery/exchange.h"
#include "recovery/messages.h"
#include "resources/resource_ids.h"
#include "sequence/recovery_sequence.h"
#include "tftp/file_name.h"
#include "tftp/listener.h"

namespace qvr {

namespace {

constexpr const char recovery_intro_text[] =
    "You can use this utility to recover a QVR unit\r\nwith a corrupted firmware image to:";

constexpr const char phone_instructions_text[] =
    "Before proceeding, please confirm that the IP\r\nPhone screen is showing the message:\r\n"
    "\"S.O.S. Phone In Recovery Mode\"\r\nOtherwise, restart this utility and select the\r\n"
    "[Upgrade Firmware] option. To continue, you must\r\nprovide the serial number of the QVR unit.\r\n"
    "The serial number is printed on the bar code\r\nlabel located at the back cover of the unit.\r\n"
    "Please also make sure that the QVR is in the\r\nsame subnet as this PC.\r\n";

constexpr const char adapter_instructions_text[] =
    "Before proceeding, please confirm that the QVR's\r\nStatus LED is blinking repeatedly with the pattern:\r\n"
    "short-short-short-long-long-short-short-short.\r\nOtherwise, restart this utility and select the\r\n"
    "[Upgrade Firmware] option. To continue, you must\r\nprovide the serial number of the QVR unit.\r\n"
    "The serial number is printed on the bar code\r\nlabel located at the back cover of the unit.\r\n"
    "Please also make sure that the QVR is in the\r\nsame subnet as this PC.\r\n";

constexpr const char MESSAGE_NO_DIALOG[] = "Recovery Failed: Can't open the recovery dialogs";
constexpr const char MESSAGE_NO_DISCOVERY_THREAD[] = "Recovery Failed: Can't start the discovery thread";
constexpr const char MESSAGE_USER_ABORT[] = "Upgrade Failed: User Abort";

constexpr UINT_PTR discovery_timer_id = 1000;
constexpr UINT discovery_timer_ms = 100;

// The serial number as sent (at most 19 characters, upper case).
char serial_number_entry[recovery_serial_size];
// Written by the main thread before the connecting dialog starts the
// discovery thread, which only reads it.
RecoveryMessage discovery_message;
// Written by the discovery thread before it reports; read by the main
// thread only after the connecting dialog has ended.
RecoveryReply discovery_reply;
// Set by the discovery thread before it reports "found", so that Enter
// pressed in the connecting dialog (which also arrives as command 1) is not
// taken for a found device.
std::atomic<bool> discovery_found{false};
int discovery_progress = 0;

// The exchange's timing as shipped, its set-up and send failures shown in
// the plain boxes ("Error", "error") the moment they happen.
RecoveryTiming boxed_recovery_timing() {
    RecoveryTiming timing = shipped_recovery_timing();
    timing.report = error_box;
    return timing;
}

// Sends the discovery message (the serial number entry) to the group, and
// tells the connecting dialog the outcome with a synchronous command: 1
// found, 2 not found.
DWORD WINAPI discovery_thread(LPVOID parameter) {
    HWND dialog = static_cast<HWND>(parameter);
    int found = recovery_exchange(0, discovery_message, discovery_reply, process_state.pc_address,
                                  boxed_recovery_timing());
    if (found == 1) discovery_found.store(true);
    ::SendMessageA(dialog, WM_COMMAND, found == 1 ? IDOK : IDCANCEL, 0);
    return 1;
}

// The bar fills in about 10 s and starts again from empty: the discovery
// has no progress to show, only that it is still looking.
void CALLBACK discovery_progress_tick(HWND dialog, UINT, UINT_PTR, DWORD) {
    if (++discovery_progress > 100) discovery_progress = 0;
    ::SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, discovery_progress, 0);
}

// The connecting dialog, run modally while the discovery thread looks for
// the device.  It ends only with 1 (found); not found and Cancel end the run
// here with the same report, since either way the device was not found.
INT_PTR CALLBACK discovery_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            open_connecting_dialog(dialog);
            // A window timer must be set by the thread that owns the
            // window, so the bar's timer starts here, not on the worker.
            ::SetTimer(dialog, discovery_timer_id, discovery_timer_ms, discovery_progress_tick);
            HANDLE worker = ::CreateThread(nullptr, 0, discovery_thread, dialog, 0, nullptr);
            if (worker == nullptr) {
                ::DestroyWindow(dialog);
                fatal_exit(MESSAGE_NO_DISCOVERY_THREAD);
            }
            ::CloseHandle(worker);  // it reports through the dialog; nobody waits for it
            return TRUE;
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK && discovery_found.load()) {
                ::KillTimer(dialog, discovery_timer_id);
                ::EndDialog(dialog, 1);
                return TRUE;
            }
            if (LOWORD(wparam) == IDCANCEL) {
                // The worker may still be waiting for a reply; it is not
                // waited for.
                ::KillTimer(dialog, discovery_timer_id);
                ::DestroyWindow(dialog);
                fatal_exit(MESSAGE_DEVICE_NOT_FOUND);
            }
            return TRUE;  // Enter before the device was found: ignored
        default:
            return FALSE;
    }
}

// Serial number and PC address.  The serial number is not checked: an empty
// one is sent as such, and the device that answers decides.
INT_PTR CALLBACK recovery_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            fill_local_address_list(dialog, IDC_RECOVERY_ADDRESS_LIST);
            ::SetDlgItemTextA(dialog, IDC_RECOVERY_INTRO, recovery_intro_text);
            set_image_version_text(dialog, IDC_RECOVERY_VERSION);
            ::SetDlgItemTextA(dialog, IDC_RECOVERY_INSTRUCTIONS,
                              process_state.product.phone_family != 0 ? phone_instructions_text
                                                                       : adapter_instructions_text);
            ::SendDlgItemMessageA(dialog, IDC_SERIAL_ENTRY, EM_LIMITTEXT, recovery_serial_size - 1, 0);
            ::SetFocus(::GetDlgItem(dialog, IDC_SERIAL_ENTRY));
            centre_on_screen(dialog);
            return FALSE;  // the focus was set here
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                make_tftp_file_name(process_state.tftp_file_name, sizeof process_state.tftp_file_name,
                                    TftpNameKind::recovery);
                char typed[recovery_serial_size];
                ::GetDlgItemTextA(dialog, IDC_SERIAL_ENTRY, typed, sizeof typed);
                normalise_serial_number(serial_number_entry, field_text(typed));
                copy_text(process_state.device_label, field_text(serial_number_entry));
                process_state.pc_address =
                    selected_local_address(dialog, IDC_RECOVERY_ADDRESS_LIST, process_state.pc_address);
                ::EndDialog(dialog, 1);
                return TRUE;
            }
            return end_on_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

// The connecting dialog runs the discovery on its thread; not found and
// Cancel end the run inside it.
bool discover(void*, const RecoveryMessage& message, RecoveryReply& reply) {
    discovery_message = message;
    discovery_progress = 0;
    if (show_modal_dialog(IDD_CONNECTING, discovery_dialog_procedure, MESSAGE_NO_DIALOG) != 1) return false;
    reply = discovery_reply;
    return true;
}

// The confirm dialog shows what the reply said; the device is the address
// it gave.
void found(void*, const RecoveryReply& reply, std::uint32_t device) {
    copy_reply_identity(reply, process_state.web.main.identity);
    process_state.device_address = device;
}

bool confirm(void*) {
    if (show_modal_dialog(IDD_CONFIRM, confirm_dialog_procedure, MESSAGE_NO_DIALOG) == 1) return true;
    fatal_error_report(MESSAGE_USER_ABORT);
    return false;
}

// The name was drawn by the recovery dialog when Continue was pressed.
bool publish_file_name(void*, char* out, std::size_t size) {
    publish_served_name(process_state.served_file_name, process_state.tftp_file_name);
    copy_text(out, size, process_state.tftp_file_name);
    return true;
}

// The listener joins the group; one that cannot start ends the run inside.
std::uint16_t start_serving(void*) { return start_tftp_listener(process_state.pc_address, recovery_group_text); }

// The upgrade message goes out like the discovery; what answers it is not
// looked at.
void send_upgrade(void*, const RecoveryMessage& message) {
    recovery_exchange(0, message, discovery_reply, process_state.pc_address, boxed_recovery_timing());
}

void wait_for_end(void*) { sleep_until_the_process_ends(); }

// The first reply is the device, whatever serial number it names, and only
// a reply without an address ends the run (without a word).
const RecoverySeams dialog_seams{nullptr,           nullptr,       discover,     found,       nullptr, confirm,
                                 publish_file_name, start_serving, send_upgrade, wait_for_end};

}  // namespace

int run_recovery_branch() {
    process_state.recovering = true;
    // A dialog that cannot open ends the run inside show_modal_dialog, with
    // the recovery's wording.
    if (show_modal_dialog(IDD_RECOVERY, recovery_dialog_procedure, MESSAGE_NO_DIALOG) != 1) return 0;
    // No upgrade command over HTTP: the device has no working web pages.
    // It is told by the same multicast exchange where to fetch the image,
    // and the listener serves it to the group.
    run_recovery_sequence(dialog_seams, serial_number_entry,
                          RecoveryReplyRules{false, false, process_state.pc_address});
    return 0;
}

}  // namespace qvr
