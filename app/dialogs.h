// Dialog procedures of the main sequence and the helpers every dialog uses.
#pragma once

#include <windows.h>

#include <cstdint>

namespace qvr {

// Moves a window to the centre of the primary screen without resizing it and
// puts it on top.  Does nothing when the window's rectangle cannot be read.
void centre_on_screen(HWND window);

// The usual end of a modal dialog: 1 for OK (the positive button, id 1) and
// 0 for Cancel or Esc (id 2).  Returns TRUE when the command was one of
// them, for the procedure to return.
INT_PTR end_on_ok_or_cancel(HWND dialog, WPARAM wparam);

// The same for Cancel or Esc alone, where OK needs work of its own first.
INT_PTR end_on_cancel(HWND dialog, WPARAM wparam);

// Fills a drop-down list with the PC's addresses as "a.b.c.d", in the
// order of the local address list, stopping at its first empty entry, and
// selects the first.
void fill_local_address_list(HWND dialog, int list_id);

// The PC address at the list's selected line; `fallback` when nothing is
// selected (an empty list: the sockets then bind to any local address).
std::uint32_t selected_local_address(HWND dialog, int list_id, std::uint32_t fallback);

// The connecting dialog's opening, in both its uses (a request to the
// device, the recovery's discovery): "Connecting with QVR@<label>", centred,
// its bar ranging 0..100.
void open_connecting_dialog(HWND dialog);

// "Version <v>" with the embedded image's version, into the control.
void set_image_version_text(HWND dialog, int control_id);

// The report of a failure that is ours rather than the device's (a dialog or
// thread that could not be made): every message that ends a recovery begins
// "Recovery Failed: ", every other "Upgrade Failed: ".
const char* mode_failure(const char* upgrade_text, const char* recovery_text);

// Shows a modal dialog from the program's templates with no owner; returns
// its end value (1 positive, 0 negative).  A dialog that cannot be created
// ends the run with a report (failure, or by default "... Can't open a
// dialog" in the wording of the mode).
INT_PTR show_modal_dialog(int template_id, DLGPROC procedure, const char* failure = nullptr);

INT_PTR CALLBACK welcome_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK notice_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK address_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);
INT_PTR CALLBACK confirm_dialog_procedure(HWND dialog, UINT message, WPARAM wparam, LPARAM lparam);

// A new TFTP file name for the given stage into the process state
// (make_tftp_file_name): "/qvr%x.bi1" in the recovery-upgrader's upgrade
// mode, "/qvr%x.bi%d" with the stage in the staged-upgrader.
void draw_tftp_file_name(int stage);

}  // namespace qvr
