#include "app/dialogs.h"

#include <commctrl.h>

#include <cstdio>

#include "app/address_parser.h"
#include "app/process_state.h"
#include "platform/report.h"
#include "platform/socket.h"
#include "platform/trace.h"
#include "resources/resource_ids.h"
#include "tftp/file_name.h"

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

constexpr const char address_intro_text[] = "This program will upgrade your QVR\r\nfirmware to:";

constexpr const char address_instructions_text[] =
    "To proceed, please provide the IP address\r\nof your QVR. To find out the IP address of\r\n"
    "your QVR, press the Setup Menu button on \r\nthe phone, select \"Network\" option, and \r\n"
    "check the value of \"Current IP\". For example, \r\n10.1.0.13\r\n\r\nPlease enter IP address of your QVR:";

constexpr const char confirm_text[] =
    "The following information was extracted\r\nfrom your QVR. Please click \"Upgrade\"\r\n"
    "if you would like to proceed. If you would\r\nlike to quit click \"Cancel\".";

// The typed address is kept as the device label, at most this many
// characters (the label field holds two more).
constexpr int device_label_max_chars = static_cast<int>(device_label_size) - 2;

void format_dotted(char (&text)[16], std::uint32_t address) {
    std::snprintf(text, sizeof text, "%u.%u.%u.%u", (address >> 24) & 0xFF, (address >> 16) & 0xFF,
                  (address >> 8) & 0xFF, address & 0xFF);
}

}  // namespace

void draw_tftp_file_name(int stage) {
    make_tftp_file_name(process_state.tftp_file_name, sizeof process_state.tftp_file_name,
                        is_recovery_upgrader ? TftpNameKind::upgrade : TftpNameKind::staged, stage);
}

void centre_on_screen(HWND window) {
    RECT r;
    if (!::GetWindowRect(window, &r)) return;
    int x = (::GetSystemMetrics(SM_CXSCREEN) - (r.right - r.left)) >> 1;
    int y = (::GetSystemMetrics(SM_CYSCREEN) - (r.bottom - r.top)) >> 1;
    ::SetWindowPos(window, HWND_TOP, x, y, 0, 0, SWP_NOSIZE);
}

INT_PTR end_on_ok_or_cancel(HWND dialog, WPARAM wparam) {
    if (LOWORD(wparam) == IDOK) {
        ::EndDialog(dialog, 1);
        return TRUE;
    }
    return end_on_cancel(dialog, wparam);
}

INT_PTR end_on_cancel(HWND dialog, WPARAM wparam) {
    if (LOWORD(wparam) != IDCANCEL) return FALSE;
    ::EndDialog(dialog, 0);
    return TRUE;
}

void fill_local_address_list(HWND dialog, int list_id) {
    for (std::size_t i = 0; i < local_address_capacity && process_state.local_addresses[i] != 0; ++i) {
        char text[16];
        format_dotted(text, process_state.local_addresses[i]);
        ::SendDlgItemMessageA(dialog, list_id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text));
    }
    ::SendDlgItemMessageA(dialog, list_id, CB_SETCURSEL, 0, 0);
}

std::uint32_t selected_local_address(HWND dialog, int list_id, std::uint32_t fallback) {
    LRESULT line = ::SendDlgItemMessageA(dialog, list_id, CB_GETCURSEL, 0, 0);
    if (line < 0 || static_cast<std::size_t>(line) >= local_address_capacity) return fallback;
    std::uint32_t address = process_state.local_addresses[line];
    return address != 0 ? address : fallback;
}

void open_connecting_dialog(HWND dialog) {
    char title[128];
    std::snprintf(title, sizeof title, "Connecting with QVR@%s", process_state.device_label);
    ::SetWindowTextA(dialog, title);
    centre_on_screen(dialog);
    ::SendDlgItemMessageA(dialog, IDC_PROGRESS, PBM_SETRANGE, 0, MAKELPARAM(0, 100));
}

void set_image_version_text(HWND dialog, int control_id) {
    char text[160];
    std::string_view version = image_version(process_state.image);
    std::snprintf(text, sizeof text, "Version %.*s", static_cast<int>(version.size()), version.data());
    ::SetDlgItemTextA(dialog, control_id, text);
}

const char* mode_failure(const char* upgrade_text, const char* recovery_text) {
    return process_state.recovering ? recovery_text : upgrade_text;
}

INT_PTR show_modal_dialog(int template_id, DLGPROC procedure, const char* failure) {
    INT_PTR result = ::DialogBoxParamA(static_cast<HINSTANCE>(process_state.instance),
                                       MAKEINTRESOURCEA(template_id), nullptr, procedure, 0);
    // -1: the dialog could not be created, which must not pass for a Cancel
    // that ends the run without a word.
    if (result == -1)
        fatal_exit(failure != nullptr ? failure
                                      : mode_failure("Upgrade Failed: Can't open a dialog",
                                                     "Recovery Failed: Can't open a dialog"));
    return result;
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
            return end_on_ok_or_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

// The device's address, typed by the user, and the PC address to use.
INT_PTR CALLBACK address_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            fill_local_address_list(dialog, IDC_LOCAL_ADDRESS_LIST);
            char text[128];
            if (is_recovery_upgrader)
                ::SetWindowTextA(dialog, "QVR Firmware Upgrade");
            else {
                std::snprintf(text, sizeof text, "%s Firmware Upgrade", process_state.product.display_name);
                ::SetWindowTextA(dialog, text);
            }
            ::SetDlgItemTextA(dialog, IDC_ADDRESS_INTRO, address_intro_text);
            ::SetDlgItemTextA(dialog, IDC_ADDRESS_INSTRUCTIONS, address_instructions_text);
            set_image_version_text(dialog, IDC_IMAGE_VERSION);
            ::SetFocus(::GetDlgItem(dialog, IDC_IP_ADDRESS));
            centre_on_screen(dialog);
            return FALSE;  // the focus was set here
        }
        case WM_COMMAND:
            if (LOWORD(wparam) == IDOK) {
                ::GetDlgItemTextA(dialog, IDC_IP_ADDRESS, process_state.device_label, device_label_max_chars + 1);
                parse_device_address(process_state.device_label, process_state.device_address);
                if (process_state.device_address == 0) {
                    ::MessageBoxA(dialog, "Invalid IP Address", "Error", MB_OK);
                    ::SetFocus(::GetDlgItem(dialog, IDC_IP_ADDRESS));
                    return TRUE;
                }
                draw_tftp_file_name(process_state.upgrade_stage.load());
                process_state.pc_address =
                    selected_local_address(dialog, IDC_LOCAL_ADDRESS_LIST, process_state.pc_address);
                trace("+++ using %x\n", process_state.pc_address);
                ::EndDialog(dialog, 1);
                return TRUE;
            }
            return end_on_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

// What the device reported about itself, before anything is changed.
INT_PTR CALLBACK confirm_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM) {
    switch (message) {
        case WM_INITDIALOG: {
            char text[512];
            std::string_view version = image_version(process_state.image);
            std::snprintf(text, sizeof text, "Confirm Upgrade to Ver. %.*s", static_cast<int>(version.size()),
                          version.data());
            ::SetWindowTextA(dialog, text);
            if (is_staged_upgrader && process_state.upgrade_stage.load() == TRANSITION_STAGE) {
                std::string_view threshold = image_version(process_state.transition);
                std::snprintf(text, sizeof text,
                              "%s\r\n\r\nNote: Since your current firmware version\r\nis older than %.*s, "
                              "this upgrade procedure\r\nrequires additional steps and will be\r\n"
                              "slightly longer.\r\n",
                              confirm_text, static_cast<int>(threshold.size()), threshold.data());
                ::SetDlgItemTextA(dialog, IDC_CONFIRM_TEXT, text);
            } else {
                ::SetDlgItemTextA(dialog, IDC_CONFIRM_TEXT, confirm_text);
            }
            const IdentityFields& id = process_state.web.main.identity;
            ::SetDlgItemTextA(dialog, IDC_SERIAL_NUMBER, id.serial_number);
            ::SetDlgItemTextA(dialog, IDC_MAC_ADDRESS, id.mac_address);
            ::SetDlgItemTextA(dialog, IDC_SOFTWARE_VERSION, id.software_version);
            ::SetDlgItemTextA(dialog, IDC_HARDWARE_VERSION, id.hardware_version);
            ::SetDlgItemTextA(dialog, IDC_PRODUCT_NAME, id.product_name);
            centre_on_screen(dialog);
            return TRUE;
        }
        case WM_COMMAND:
            return end_on_ok_or_cancel(dialog, wparam);
        default:
            return FALSE;
    }
}

}  // namespace qvr
