// The TFTP side's Windows front end: the waiting, upload and success
// dialogs behind the TftpUi record, the abort dialog procedure, the status
// request, and the programs' start_tftp_listener over the process state.
//
// Every call here runs on the listener thread, which owns these dialogs and
// pumps their messages; the main thread only sleeps meanwhile.
#include <winsock2.h>
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

void untie_arrival_event();

void close_dialog(void*) {
    // The wait for a request is over (a transfer, or the end, follows).
    untie_arrival_event();
    if (open_tftp_dialog != nullptr) ::DestroyWindow(open_tftp_dialog);
    open_tftp_dialog = nullptr;
}

// What the bar shows, so that a position that would not move it by a pixel
// is not sent: the update wait's bar spans thousands of 32 ms ticks over a
// few hundred pixels, and redrawing it every tick for nothing was most of
// that wait's cost.  Every position that moves it is sent.
std::uint32_t bar_high = 0;
std::uint64_t bar_width = 0;  // 0: unknown, every position is sent
std::int64_t bar_pixel = -1;  // the pixel column last sent; -1: none since the range was set

void set_progress_range(void*, std::uint32_t high) {
    // The bar's range is 16 bits wide: the block count of the largest image
    // we serve (65,535) and the longest update wait (6,250 ticks) both fit.
    bar_high = high & 0xFFFFu;
    bar_pixel = -1;
    RECT area{};
    HWND bar = ::GetDlgItem(open_tftp_dialog, IDC_PROGRESS);
    bar_width = bar != nullptr && ::GetClientRect(bar, &area) ? static_cast<std::uint64_t>(area.right - area.left) : 0;
    ::SendDlgItemMessageA(open_tftp_dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, bar_high));
}

void set_progress_position(void*, std::uint32_t position) {
    if (bar_width != 0 && bar_high != 0) {
        std::int64_t pixel = static_cast<std::int64_t>(std::uint64_t{position} * bar_width / bar_high);
        if (pixel == bar_pixel) return;
        bar_pixel = pixel;
    }
    ::SendDlgItemMessageA(open_tftp_dialog, IDC_PROGRESS, PBM_SETPOS, position, 0);
}

void set_title(void*, const char* title) {
    if (open_tftp_dialog != nullptr) ::SetWindowTextA(open_tftp_dialog, title);
}

void set_waiting_text(void*, const char* text) {
    int id = is_recovery_upgrader ? IDC_WAITING_TEXT_RECOVERY : IDC_WAITING_TEXT_STAGED;
    ::SetDlgItemTextA(open_tftp_dialog, id, text);
}

// The event the listener socket's arrivals set while the waiting dialog
// waits, and the socket it is tied to (none while a transfer runs: its
// loop waits on the socket itself, and every datagram setting an event
// would cost the Wine server a little more per block).
WSAEVENT arrival_event = WSA_INVALID_EVENT;
SOCKET event_socket = INVALID_SOCKET;

void untie_arrival_event() {
    if (event_socket == INVALID_SOCKET) return;
    ::WSAEventSelect(event_socket, arrival_event, 0);
    event_socket = INVALID_SOCKET;
}

// One wait for whichever comes first: a datagram, a message for the
// thread's dialogs (the input that makes a Cancel, or a message sent by
// another thread), or the time-out.  The event stays set after the
// datagram that set it has been read; a stale wake-up only costs the caller
// a receive that finds nothing, and since that receive re-arms the event,
// no datagram can arrive unnoticed between it and the next wait.
int wait_for_input(void*, SocketHandle socket, unsigned timeout_ms) {
    if (arrival_event == WSA_INVALID_EVENT) {
        arrival_event = ::WSACreateEvent();
        if (arrival_event == WSA_INVALID_EVENT) return -1;
    }
    if (event_socket != static_cast<SOCKET>(socket)) {
        untie_arrival_event();
        if (::WSAEventSelect(static_cast<SOCKET>(socket), arrival_event, FD_READ) != 0) return -1;
        event_socket = static_cast<SOCKET>(socket);
    }
    DWORD woke = ::MsgWaitForMultipleObjectsEx(1, &arrival_event, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    if (woke == WAIT_TIMEOUT) return 0;
    if (woke == WAIT_OBJECT_0) ::WSAResetEvent(arrival_event);
    return woke == WAIT_FAILED ? -1 : 1;
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
                           set_progress_position, set_title,   set_waiting_text,   wait_for_input,
                           pump_all_messages, show_success_dialog, status_request,
                           nullptr};  // every requester is served: nobody is refused

TftpServer process_tftp_server() {
    TftpServer server = shipped_tftp_server(build_rules);
    server.ui = &win32_tftp_ui;
    server.target_image = &process_state.image;
    server.transition_image = &process_state.transition;
    server.upgrade_stage = &process_state.upgrade_stage;
    // The name the sequence has published before starting the listener,
    // and the check after the upload starting from what the main thread
    // knows.
    server.file_name = &process_state.served_file_name;
    begin_after_upload_space(process_state.web);
    server.device_label = process_state.device_label;
    server.display_name = process_state.product.display_name;
    server.phone_family = process_state.product.phone_family != 0;
    return server;
}

// The end of every run the listener thread owns: the socket closed, the
// result's message shown if it has one, and the process ended.
[[noreturn]] void end_tftp_run(TftpListener& listener, const TftpResult& result) {
    close_socket(listener.socket);
    listener.socket = invalid_socket;
    if (result.message != nullptr) fatal_exit(result.message);
    end_run();
}

// A listener that could not start ends the run with its report.
std::uint16_t started_or_ended(const ListenerStart& start) {
    if (start.failure == nullptr) return start.port;
    if (start.caption == nullptr) fatal_exit(start.failure);
    error_box(start.failure, start.caption);
    end_run();
}

}  // namespace

#if defined(QVR_RECOVERY_UPGRADER)
std::uint16_t start_tftp_listener(std::uint32_t local_address, const char* group) {
    return started_or_ended(start_tftp_listener(process_tftp_server(), local_address, group, end_tftp_run));
}
#else
std::uint16_t start_tftp_listener(std::uint32_t local_address) {
    return started_or_ended(start_tftp_listener(process_tftp_server(), local_address, nullptr, end_tftp_run));
}
#endif

}  // namespace qvr
