// The run of one upgrade, written once for every front end: identify the
// device, check and confirm, start serving, tell the device where to fetch,
// and in a two-stage run the switch from the transition image to the
// target image.  The Windows programs drive it with their dialogs, the
// request worker and the listener thread; the terminal program with its
// terminal and a target on its shared TFTP server.  Each step the front end
// owns is a function of the UpgradeSeams record, called on the caller's
// thread in the order below.
//
//   identify -> check -> publish_file_name(first stage) -> start_serving
//     -> send_command(first)
//     [two stages: -> wait_for_transition -> publish_file_name(target)
//                  -> send_command(second)]
//     -> wait_for_end
//
// Every step that says no ends the run there and has reported why; the
// sequence itself reports nothing and ends nothing but its own call.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "sequence/phase.h"

namespace qvr {

// The stage numbers the listener and the file names use: a two-stage run
// serves the transition image (stage 0) first, every other run the target
// image (stage 1) only.
inline constexpr std::int32_t sequence_transition_stage = 0;
inline constexpr std::int32_t sequence_target_stage = 1;

// The longest TFTP file name the sequence hands on, with its NUL.
inline constexpr std::size_t sequence_file_name_size = 128;

struct UpgradeSeams {
    void* context;
    // Told each phase the sequence enters (identify, check, command,
    // request); the TFTP side tells the later ones.  May be null.
    void (*phase)(void* context, RunPhase phase);
    // The status page and whatever the front end asks before it (the
    // Windows programs: the address dialog, then the request).  False ends
    // the run.  Null: the caller has identified the device already.
    bool (*identify)(void* context);
    // The product check and the confirmation.  False ends the run.  Null:
    // already done (a caller that confirms a whole fleet at once).
    bool (*check)(void* context);
    // Draws the stage's file name (or takes the one drawn earlier), writes
    // it whole into storage of the front end's own that outlives the
    // serving, makes it the one served, and copies it into out for the
    // command.  `second` is the target stage's name after a transition.
    // False: no name could be drawn (reported); before serving the run ends
    // there, after it the front end has made the serving end.
    bool (*publish_file_name)(void* context, std::int32_t stage, bool second, char* out, std::size_t size);
    // Starts serving the published name; returns the port, 0 when serving
    // could not start (reported).
    std::uint16_t (*start_serving)(void* context);
    // Sends the upgrade command naming (port, file_name); `second`: the
    // target stage's command after a transition.
    void (*send_command)(void* context, bool second, std::uint16_t port, const char* file_name);
    // Blocks until the listener has served and checked the transition image
    // and moved to the target stage (true), or the run ended without that
    // (false).  Called in two-stage runs only.
    bool (*wait_for_transition)(void* context);
    // Blocks until the serving is over (the Windows programs: forever, the
    // listener thread ends the process).
    void (*wait_for_end)(void* context);
};

enum class SequenceEnd {
    not_identified,  // identify said no (recovery: no device answered)
    reply_refused,   // recovery only: the reply named another serial number or no usable address
    not_confirmed,   // check said no
    no_file_name,    // no name for the first stage: nothing was started
    not_serving,     // serving did not start: nothing was sent
    served,          // the device was told; wait_for_end has returned
};

// Runs one upgrade through the seams.  `transition`: a two-stage run, the
// transition image first.  The second command goes out only when
// wait_for_transition says the transition stage passed, and only after the
// target stage's name has been published: the device asks for that name
// the moment it gets the command.
SequenceEnd run_upgrade_sequence(const UpgradeSeams& seams, bool transition);

// The two-stage switch as the listener and a waiting caller share it: the
// listener withdraws the transition name and moves `stage` from 0 to 1
// after a passed transition stage; the caller polls for that every step_ms
// with `sleep`.  True once the stage is the target's; false as soon as
// `ended` (may be null: never) is set, whether or not the stage moved: an
// ended serving has nobody to serve the second name.
bool wait_for_target_stage(const std::atomic<std::int32_t>& stage, const std::atomic<bool>* ended,
                           unsigned step_ms, void (*sleep)(unsigned milliseconds));

// Makes `name` the one the listener serves.  The name must already be
// written whole into a buffer the listener is not reading; the release
// store pairs with the listener's load at each read request.
inline void publish_served_name(std::atomic<const char*>& served, const char* name) {
    served.store(name, std::memory_order_release);
}

}  // namespace qvr
