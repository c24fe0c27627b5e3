#include "app/web_request.h"

#include <windows.h>
#include <commctrl.h>

#include <cstdio>

#include "app/dialogs.h"
#include "app/process_state.h"
#include "platform/report.h"
#include "platform/trace.h"
#include "resources/resource_ids.h"
#include "web/http_exchange.h"

namespace qvr {

namespace {

// The user name and password fields hold at most this many characters; the
// same number limits the edit controls and sizes the reads.
constexpr int credential_max_chars = 126;
static_assert(credential_max_chars < digest_text_size);

constexpr const char password_text[] =
    "This QVR requires a password in order to be\r\nupgraded. If you do not have administrator's\r\n"
    "privileges for this unit, please contact your\r\nService Provider or network administrator,\r\n"
    "before proceeding.\r\n\r\nYou must provide the QVR administrator's\r\npassword to upgrade. If you are "
    "the administrator\r\nand forgot the password, you may perform a\r\nfactory reset by entering * * * *, "
    "option 46491#,\r\nand value 1 from a telephone connected to the\r\nunit to be upgraded.\r\n\r\n"
    "* * * * * * * * * * *  Warning  * * * * * * * * * * *\r\nAll settings will revert to default values\r\n"
    "after factory reset!  You may not be able to\r\nreestablish service after completing this upgrade\r\n"
    "without first reentering service configuration\r\ninformation.";

DWORD WINAPI web_request_thread(LPVOID parameter) {
    const WebRequest& r = *static_cast<const WebRequest*>(parameter);
    trace("HTTP %x:%u to %x:%u", r.pc_address, r.base_port, r.device_address, r.device_port);
    HttpOutcome outcome{};
    std::int32_t result = http_exchange(build_rules, r.pc_address, r.base_port, r.device_address, r.device_port,
                                        r.target, r.buffer, r.capacity, r.space->digest, r.space->identity,
                                        r.hand_over, &outcome);
    // A socket that cannot be had ends the run from this thread, as soon as
    // the exchange knows it.
    if (outcome.failure != nullptr) fatal_exit(outcome.failure);
    return static_cast<DWORD>(result);  // -1 for a challenge comes back as 0xFFFFFFFF
}

INT_PTR CALLBACK connecting_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            open_connecting_dialog(dialog);
            return TRUE;
        case WM_COMMAND:
            if (LOWORD(wparam) == IDCANCEL) {
                // The worker may be blocked on a silent device; it is not
                // waited for.
                ::DestroyWindow(dialog);
                fatal_exit("Upgrade Failed: User Abort");
            }
            return FALSE;
        default:
            return FALSE;
    }
}

// The dialog's parameter is the Digest state of the thread that asks.
INT_PTR CALLBACK password_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
        case WM_INITDIALOG:
            ::SetWindowLongPtrA(dialog, DWLP_USER, lparam);
            ::SetDlgItemTextA(dialog, IDC_PASSWORD_TEXT, password_text);
            ::SendDlgItemMessageA(dialog, IDC_USER_NAME, EM_LIMITTEXT, credential_max_chars, 0);
            ::SendDlgItemMessageA(dialog, IDC_PASSWORD, EM_LIMITTEXT, credential_max_chars, 0);
            ::SetDlgItemTextA(dialog, IDC_USER_NAME, "admin");
            ::SetFocus(::GetDlgItem(dialog, IDC_PASSWORD));
            centre_on_screen(dialog);
            return FALSE;  // the focus was set here
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                DigestState& digest = *reinterpret_cast<DigestState*>(::GetWindowLongPtrA(dialog, DWLP_USER));
                ::GetDlgItemTextA(dialog, IDC_USER_NAME, digest.username, credential_max_chars + 1);
                ::GetDlgItemTextA(dialog, IDC_PASSWORD, digest.password, credential_max_chars + 1);
                ::EndDialog(dialog, 1);
                return TRUE;
            }
            return end_on_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

}  // namespace

WebRequest device_request(ExchangeSpace& space, std::uint32_t pc_address, std::uint32_t device_address,
                          const char* target, DigestHandover* hand_over) {
    return WebRequest{process_state.instance, pc_address, http_base_port, device_address, http_device_port,
                      target,                 space.page, page_capacity,  &space,         hand_over};
}

int run_web_request(WebRequest request) {
    HINSTANCE instance = static_cast<HINSTANCE>(request.instance);
    ChallengeRetry retry{};
    int passes = 0;
    int position = 0;
    for (;;) {
        HWND dialog = ::CreateDialogParamA(instance, MAKEINTRESOURCEA(IDD_CONNECTING), nullptr,
                                           connecting_dialog_procedure, 0);
        // Without its dialog the request could not be cancelled.
        if (dialog == nullptr)
            fatal_exit(mode_failure("Upgrade Failed: Can't open the connecting dialog",
                                    "Recovery Failed: Can't open the connecting dialog"));
        ::ShowWindow(dialog, SW_SHOWNORMAL);
        WebRequest attempt = request;  // lives in this frame until the worker has ended
        HANDLE worker = ::CreateThread(nullptr, 0, web_request_thread, &attempt, 0, nullptr);
        if (worker == nullptr)
            fatal_exit(mode_failure("Upgrade Failed: Can't start the request thread",
                                    "Recovery Failed: Can't start the request thread"));

        // One message of the dialog per pass.  The wait returns as soon as
        // the worker ends or a message arrives, so a quick answer is not
        // held back by the timer's granularity.
        while (::WaitForSingleObject(worker, 0) != WAIT_OBJECT_0) {
            MSG message;
            if (::PeekMessageA(&message, dialog, 0, 0, PM_REMOVE)) {
                ::TranslateMessage(&message);
                ::DispatchMessageA(&message);
            }
            ::MsgWaitForMultipleObjects(1, &worker, FALSE, 1, QS_ALLINPUT);
            if (++passes == 10) {
                ::SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETPOS, position, 0);
                position = position == 100 ? 0 : position + 1;
                passes = 0;
            }
        }
        ::DestroyWindow(dialog);
        DWORD exit_code = 0;
        ::GetExitCodeThread(worker, &exit_code);
        ::CloseHandle(worker);
        int result = static_cast<int>(static_cast<std::int32_t>(exit_code));
        if (result >= 0) return result;

        // A Digest challenge, now in the Digest state.
        if (step_after_challenge(request.space->digest, retry) == ChallengeStep::repeat) continue;
        INT_PTR answer = ::DialogBoxParamA(instance, MAKEINTRESOURCEA(IDD_PASSWORD), nullptr,
                                           password_dialog_procedure,
                                           reinterpret_cast<LPARAM>(&request.space->digest));
        // -1: the dialog could not be created.  Taken as OK, the request
        // would be repeated for ever with no window to stop it.
        if (answer == -1)
            fatal_exit(mode_failure("Upgrade Failed: Can't open the password dialog",
                                    "Recovery Failed: Can't open the password dialog"));
        if (step_after_password_dialog(answer != 0, retry) == ChallengeStep::give_up)
            fatal_exit("Upgrade Failed: User Abort");
    }
}

}  // namespace qvr
