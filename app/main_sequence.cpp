// The main sequence: the fixed line of dialogs and network steps of one run.
// Each state moves on or ends the run; nothing goes back.
#include "app/dialogs.h"
#include "app/process_state.h"
#include "app/startup.h"
#include "resources/resource_ids.h"

namespace qvr {

int run_main_sequence() {
    if (is_recovery_upgrader) {
        if (show_modal_dialog(IDD_WELCOME, welcome_dialog_procedure) != 1) return 0;
        // The recovery branch and the rest of the upgrade path come next.
        if (process_state.mode == RECOVERY_MODE) return 0;
    }
    if (show_modal_dialog(IDD_NOTICE, notice_dialog_procedure) != 1) return 0;
    // The address dialog, status request, confirm dialog and upgrade command
    // follow here.
    return 0;
}

}  // namespace qvr
