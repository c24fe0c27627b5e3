#include "sequence/upgrade_sequence.h"

namespace qvr {

namespace {

void enter(const UpgradeSeams& seams, RunPhase phase) {
    if (seams.phase != nullptr) seams.phase(seams.context, phase);
}

}  // namespace

SequenceEnd run_upgrade_sequence(const UpgradeSeams& seams, bool transition) {
    if (seams.identify != nullptr) {
        enter(seams, RunPhase::identify);
        if (!seams.identify(seams.context)) return SequenceEnd::not_identified;
    }
    if (seams.check != nullptr) {
        enter(seams, RunPhase::check);
        if (!seams.check(seams.context)) return SequenceEnd::not_confirmed;
    }

    // The name is published before serving starts, so the first read
    // request already finds it.
    enter(seams, RunPhase::command);
    char name[sequence_file_name_size];
    const std::int32_t first = transition ? sequence_transition_stage : sequence_target_stage;
    if (!seams.publish_file_name(seams.context, first, false, name, sizeof name)) return SequenceEnd::no_file_name;
    std::uint16_t port = seams.start_serving(seams.context);
    if (port == 0) return SequenceEnd::not_serving;
    seams.send_command(seams.context, false, port, name);
    enter(seams, RunPhase::request);

    // After a passed transition stage the listener serves no name until the
    // target stage's is published; a failed one ends the serving, and the
    // target image is never pushed onto a device whose first stage went
    // wrong.
    if (transition && seams.wait_for_transition(seams.context)) {
        enter(seams, RunPhase::command);
        if (seams.publish_file_name(seams.context, sequence_target_stage, true, name, sizeof name)) {
            seams.send_command(seams.context, true, port, name);
            enter(seams, RunPhase::request);
        }
    }
    seams.wait_for_end(seams.context);
    return SequenceEnd::served;
}

bool wait_for_target_stage(const std::atomic<std::int32_t>& stage, const std::atomic<bool>* ended,
                           unsigned step_ms, void (*sleep)(unsigned milliseconds)) {
    for (;;) {
        // A serving that has ended serves no second name, whether or not it
        // switched first (it was stopped right after): no command then.
        if (ended != nullptr && ended->load(std::memory_order_acquire)) return false;
        if (stage.load() != sequence_transition_stage) return true;
        sleep(step_ms);
    }
}

}  // namespace qvr
