// The TFTP side's Windows front end: the waiting, upload and success
// dialogs behind the TftpUi record, the abort dialog procedure, the status
// request, and the programs' start_tftp_listener over the process state.
//
// Every call here runs on the listener thread, which owns these dialogs and
// pumps their messages; the main thread only sleeps meanwhile.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "app/dialogs.h"
#include "app/process_state.h"
#include "platform/report.h"
#include "common/text.h"
#include "resources/resource_ids.h"
#include "tftp/listener.h"
#include "tftp/status_request.h"
#include "tftp/texts.h"

namespace qvr {

TftpStatusExchange tftp_status_exchange = nullptr;

namespace {

// The one modeless dialog of the listener thread that is open (waiting or
// upload), or null.
HWND open_tftp_dialog = nullptr;

// The waiting and upload dialogs' procedure: Cancel ends the run at once.
INT_PTR CALLBACK abort_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            centre_on_screen(dialog);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDCANCEL) {
                ::DestroyWindow(dialog);
                fatal_exit(MESSAGE_USER_ABORT);
            }
            return FALSE;
        default:
            return FALSE;
    }
}

struct SuccessDialogTexts {
    const char* title;
    const char* version;
};

INT_PTR CALLBACK success_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG: {
            const SuccessDialogTexts* texts = reinterpret_cast<const SuccessDialogTexts*>(lparam);
            ::SetWindowTextA(dialog, texts->title);
            ::SetDlgItemTextA(dialog, IDC_SUCCESS_TEXT, TFTP_SUCCESS_TEXT);
            ::SetDlgItemTextA(dialog, IDC_SUCCESS_VERSION, texts->version);
            centre_on_screen(dialog);
            return TRUE;
        }
        case WM_COMMAND:
            return end_on_ok_or_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

HINSTANCE instance() { return static_cast<HINSTANCE>(process_state.instance); }

void open_dialog(void*, TftpDialog which) {
    int template_id = which == TFTP_WAITING_DIALOG ? IDD_WAITING : IDD_UPLOAD;
    open_tftp_dialog =
        ::CreateDialogParamA(instance(), MAKEINTRESOURCEA(template_id), nullptr, abort_dialog_procedure, 0);
    // Without the dialog the wait could not be cancelled, nor the upload seen.
    if (open_tftp_dialog == nullptr)
        fatal_exit(which == TFTP_WAITING_DIALOG
                       ? mode_failure("Upgrade Failed: Can't open the waiting dialog",
                                      "Recovery Failed: Can't open the waiting dialog")
                       : mode_failure("Upgrade Failed: Can't open the upload dialog",
                                      "Recovery Failed: Can't open the upload dialog"));
    ::ShowWindow(open_tftp_dialog, SW_SHOWNORMAL);
}

void close_dialog(void*) {
    if (open_tftp_dialog != nullptr) ::DestroyWindow(open_tftp_dialog);
    open_tftp_dialog = nullptr;
}

void set_progress_range(void*, std::uint32_t high) {
    // The bar's range is 16 bits wide: the block count of the largest image
    // we serve (65,535) and the longest update wait (6,250 ticks) both fit.
    ::SendDlgItemMessageA(open_tftp_dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, high & 0xFFFFu));
}

void set_progress_position(void*, std::uint32_t position) {
    ::SendDlgItemMessageA(open_tftp_dialog, IDC_PROGRESS, PBM_SETPOS, position, 0);
}

void set_title(void*, const char* title) {
    if (open_tftp_dialog != nullptr) ::SetWindowTextA(open_tftp_dialog, title);
}

void set_waiting_text(void*, const char* text) {
    int id = is_recovery_upgrader ? IDC_WAITING_TEXT_RECOVERY : IDC_WAITING_TEXT_STAGED;
    ::SetDlgItemTextA(open_tftp_dialog, id, text);
}

// The thread's own messages (the dialog's and its controls': a click on
// Cancel is a message for the button, not for the dialog window).
bool pump_one_message(void*) {
    MSG message;
    if (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return false;  // Cancel ends the run inside the dialog procedure
}

bool pump_all_messages(void*) {
    MSG message;
    while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
        ::TranslateMessage(&message);
        ::DispatchMessageA(&message);
    }
    return false;
}

void show_success_dialog(void*, int template_id, const char* title, const char* version) {
    SuccessDialogTexts texts{title, version};
    INT_PTR shown = ::DialogBoxParamA(instance(), MAKEINTRESOURCEA(template_id), nullptr, success_dialog_procedure,
                                      reinterpret_cast<LPARAM>(&texts));
    // The upgrade has succeeded all the same: a plain box says so, with the
    // dialog's title and the version the device reported.
    if (shown == -1) {
        char text[512];
        std::snprintf(text, sizeof text, "%s\r\n\r\n%s", TFTP_SUCCESS_TEXT, version);
        error_box(text, title);
    }
}

// The status request after the update wait, through the application's
// request worker; the version comes from the identity fields it refreshed.
int status_request(void*, std::uint32_t local_address, std::uint32_t device_address, char* version,
                   std::size_t capacity) {
    int answer = tftp_status_exchange ? tftp_status_exchange(local_address, device_address) : 0;
    copy_text(version, capacity,
              answer > 0 ? field_text(process_state.web.after_upload.identity.software_version) : "");
    return answer;
}

const TftpUi win32_tftp_ui{nullptr,          open_dialog,      close_dialog,       set_progress_range,
                           set_progress_position, set_title,   set_waiting_text,   pump_one_message,
                           pump_all_messages, show_success_dialog, status_request};

TftpServer process_tftp_server() {
    TftpServer server = shipped_tftp_server(build_rules);
    server.ui = &win32_tftp_ui;
    server.target_image = &process_state.image;
    server.transition_image = &process_state.transition;
    server.upgrade_stage = &process_state.upgrade_stage;
    // Before the listener thread starts: the name drawn by the dialog, and
    // the check after the upload starting from what the main thread knows.
    process_state.served_file_name.store(process_state.tftp_file_name, std::memory_order_release);
    server.file_name = &process_state.served_file_name;
    begin_after_upload_space(process_state.web);
    server.device_label = process_state.device_label;
    server.display_name = process_state.product.display_name;
    server.phone_family = process_state.product.phone_family != 0;
    return server;
}

}  // namespace

#if defined(QVR_RECOVERY_UPGRADER)
std::uint16_t start_tftp_listener(std::uint32_t local_address, const char* group) {
    return start_tftp_listener(process_tftp_server(), local_address, group);
}
#else
std::uint16_t start_tftp_listener(std::uint32_t local_address) {
    return start_tftp_listener(process_tftp_server(), local_address, nullptr);
}
#endif

}  // namespace qvr
