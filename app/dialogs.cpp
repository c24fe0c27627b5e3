#include "app/dialogs.h"

#include <cstdio>

#include "app/process_state.h"
#include "resources/resource_ids.h"

namespace qvr {

namespace {

constexpr const char welcome_text[] =
    "Welcome to the Morvane QVR Device Firmware Upgrade Utility!\r\n\r\n"
    "To begin, select the [Upgrade Firmware]\r\noption if you would like to upgrade the firmware\r\n"
    "on a normal QVR unit.\r\n\r\nIf your QVR has a corrupted image and the\r\n"
    "Status LED is blinking erratically, select\r\nthe [Recover Firmware] option and follow the\r\n"
    "on-screen instructions.";

constexpr const char notice_text[] =
    "WARNING: Forcing a firmware upgrade on your QVR\r\n"
    "without prior approval from your service provider or\r\n"
    "network administrator may cause interruption to your\r\n"
    "service.  If your QVR is managed by a service\r\n"
    "provider who retains administrative control of the\r\n"
    "device, please contact the service provider for\r\n"
    "authorization before proceeding.  In such cases, the\r\n"
    "most current, approved for service firmware is\r\n"
    "automatically provided by your service provider without\r\n"
    "any onus on the end user to upgrade manually.";

}  // namespace

void centre_on_screen(HWND window) {
    RECT r;
    if (!::GetWindowRect(window, &r)) return;
    int x = (::GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) >> 1;
    int y = (::GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) >> 1;
    ::SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

INT_PTR show_modal_dialog(int template_id, DLGPROC procedure) {
    return ::DialogBoxParamA(static_cast<HINSTANCE>(process_state.instance), MAKEINTRESOURCEA(template_id),
                             nullptr, procedure, 0);
}

// The choice between an ordinary upgrade and the recovery of a corrupted
// device.  Esc must not end it: only the two buttons or the title bar's
// close button do.
INT_PTR CALLBACK welcome_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG:
            ::SetDlgItemTextA(dialog, IDC_WELCOME_TEXT, welcome_text);
            centre_on_screen(dialog);
            return TRUE;
        case WM_COMMAND:
            switch (LOWORD(wparam)) {
                case IDC_UPGRADE_BUTTON:
                    process_state.mode = UPGRADE_MODE;
                    ::EndDialog(dialog, 1);
                    return TRUE;
                case IDC_RECOVER_BUTTON:
                    process_state.mode = RECOVERY_MODE;
                    ::EndDialog(dialog, 1);
                    return TRUE;
                default:
                    return TRUE;  // Esc (IDCANCEL) and everything else: ignored
            }
        case WM_CLOSE:
            ::EndDialog(dialog, 0);
            return TRUE;
        default:
            return FALSE;
    }
}

// The service-provider warning.  Cancel is the default button and has the
// focus, so Enter pressed at once ends the run.
INT_PTR CALLBACK notice_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            char title[64];
            std::snprintf(title, sizeof title, "%s Firmware Upgrade", process_state.product.display_name);
            ::SetWindowTextA(dialog, title);
            ::SetDlgItemTextA(dialog, IDC_NOTICE_TEXT, notice_text);
            ::SetFocus(::GetDlgItem(dialog, IDCANCEL));
            centre_on_screen(dialog);
            return FALSE;  // the focus was set here
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                ::EndDialog(dialog, 1);
                return TRUE;
            }
            if (LOWORD(wparam) == IDCANCEL) {
                ::EndDialog(dialog, 0);
                return TRUE;
            }
            return FALSE;
        default:
            return FALSE;
    }
}

}  // namespace qvr
