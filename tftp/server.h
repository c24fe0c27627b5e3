// What the TFTP listener and its sessions are given to work with: the user
// interface they drive (a record of functions the Windows side implements
// with dialogs and the tests with a recorder), the images to serve, the
// texts to show and the timing.  The portable code never reaches into the
// process state; the caller fills one TftpServer and hands it over.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>

#include "firmware/image.h"
#include "platform/socket.h"
#include "tftp/decisions.h"

namespace qvr {

enum TftpDialog : int {
    TFTP_WAITING_DIALOG,  // template 114: waiting for the device's read request
    TFTP_UPLOAD_DIALOG,   // template 110: the transfer and the update wait
};

// The listener thread's dialogs.  At most one of the waiting and upload
// dialogs is open at a time; the progress, title and text calls act on it.
// Every member must be set (a null user interface sets do-nothing ones).
struct TftpUi {
    void* context;
    // Creates the dialog with no owner and shows it.
    void (*open_dialog)(void* context, TftpDialog dialog);
    void (*close_dialog)(void* context);
    // The progress bar's range 0 .. high (the bar keeps the low 16 bits).
    void (*set_progress_range)(void* context, std::uint32_t high);
    void (*set_progress_position)(void* context, std::uint32_t position);
    void (*set_title)(void* context, const char* title);
    // The waiting dialog's instruction text.
    void (*set_waiting_text)(void* context, const char* text);
    // Waits up to timeout_ms for a datagram on the socket or a message for
    // the listener thread's dialogs, whichever comes first (a front end
    // without messages waits on the socket alone).  1: something may be
    // there, 0: the time passed, negative: the wait failed (the caller then
    // sleeps instead).  The waiting dialog waits here between two moves of
    // its bar, so a request and a Cancel are both taken the moment they come
    // and an idle wait costs a few calls per bar move.
    int (*wait_for_input)(void* context, SocketHandle socket, unsigned timeout_ms);
    // Dispatch every pending message of the listener thread's dialogs.  A
    // Cancel press normally ends the run inside (the abort dialog
    // procedure); a front end that cannot end the run there returns true
    // instead, and the caller then ends it with "User Abort".
    bool (*pump_all_messages)(void* context);
    // The modal success dialog, until it is closed.
    void (*show_success_dialog)(void* context, int template_id, const char* title, const char* version);
    // The status request after an upload: fetches the device's status page
    // from device_address, talking from local_address.  Returns the exchange's
    // result: more than 0 when the device answered with a page, whose
    // software version is then copied into version (cut to capacity); 0 or
    // less when it did not.
    int (*status_request)(void* context, std::uint32_t local_address, std::uint32_t device_address, char* version,
                          std::size_t capacity);
    // A read request refused because it came from another address than
    // the server's only_requester (may be null: nothing is said).
    void (*refused_requester)(void* context, std::uint32_t address);
};

// Everything the listener thread needs besides its socket.  The pointers
// must stay valid for the whole run.
struct TftpServer {
    const DeliverableRules* rules;  // the deliverable whose ways the side follows
    const TftpUi* ui;
    // The image served in the target stage (the recovery-upgrader's only one)
    // and, in a transition-stage staged-upgrader, the transition image.
    const FirmwareImage* target_image;
    const FirmwareImage* transition_image;
    // staged-upgrader: the upgrade stage, 0 transition, 1 target; the
    // listener sets it to 1 after a passed transition stage and the main
    // thread polls it.  Unused by the recovery-upgrader (may be null).
    std::atomic<std::int32_t>* upgrade_stage;
    // The one file name served (NUL-terminated), handed over by pointer: the
    // thread that draws a name writes it whole into a buffer the listener is
    // not reading, then stores its address here; the listener loads it at
    // each RRQ.  Null serves no name: the listener stores it when a
    // transition stage ends, so nothing is accepted until the main thread
    // publishes the target stage's name.
    std::atomic<const char*>* file_name;
    // The one address whose read requests are served, host order: the
    // device being upgraded, or the one the discovery found.  0 serves the
    // name to whoever asks for it (the Windows programs).
    std::uint32_t only_requester;
    const char* device_label;  // shown after "QVR@"
    const char* display_name;  // the product, for the update wait and the success template
    bool phone_family;         // skips the staged-upgrader's version check
    std::uint16_t first_port;  // the port search starts here: 69
    TftpTiming timing;
    // The clock and the sleep of the update wait; tests step them.  The
    // transfer's idle polls wait on the socket and read clock() too.
    std::uint32_t (*clock)();
    void (*sleep)(unsigned milliseconds);
    // Starts the listener thread (false: it could not be started); tests
    // make it fail.
    bool (*start_thread)(void (*procedure)(void*), void* argument);
    // For tools only: go straight from the last ACK to the success dialog,
    // without the update wait and the status request.
    bool skip_completion;
    // The update wait in 32 ms ticks when the person running the terminal
    // program gives one; otherwise (unset) the product's.
    std::optional<std::uint32_t> update_wait_ticks;
};

// A TftpServer with a deliverable's rules and shipped constants, the
// platform clock and sleep, and port 69; the caller fills in the rest.
TftpServer shipped_tftp_server(const DeliverableRules& rules);

// How a run of the TFTP side ended.  `message` is the report to show before
// the run ends (nullptr: ended without a message, after the success dialog).
struct TftpResult {
    bool passed;
    const char* message;
};

inline constexpr TftpResult tftp_passed() { return TftpResult{true, nullptr}; }
inline constexpr TftpResult tftp_failed(const char* message) { return TftpResult{false, message}; }

}  // namespace qvr
