// The upgrade sequence against a recording front end: what is called, in
// which order, with which names, and where a refusal ends the run.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "common/text.h"
#include "sequence/upgrade_sequence.h"

namespace qvr {
namespace {

// A front end that writes one line per call and answers as told.
struct Recorder {
    std::vector<std::string> calls;
    std::vector<RunPhase> phases;
    bool identify_answer = true;
    bool check_answer = true;
    std::uint16_t port = 6969;
    bool transition_passes = true;
    int names_drawn = 0;
    int failing_draw = -1;  // the draw (0 first, 1 second) that finds no random number
    char served[2][64] = {};  // the front end's own storage of the names
    const char* published = nullptr;
};

Recorder& of(void* context) { return *static_cast<Recorder*>(context); }

void record_phase(void* c, RunPhase phase) { of(c).phases.push_back(phase); }
bool identify(void* c) {
    of(c).calls.push_back("identify");
    return of(c).identify_answer;
}
bool check(void* c) {
    of(c).calls.push_back("check");
    return of(c).check_answer;
}
bool publish(void* c, std::int32_t stage, bool second, char* out, std::size_t size) {
    Recorder& r = of(c);
    int draw = r.names_drawn++;
    r.calls.push_back("publish " + std::to_string(stage) + (second ? " second" : " first"));
    if (draw == r.failing_draw) return false;
    char* name = r.served[draw % 2];
    std::snprintf(name, sizeof r.served[0], "/qvr%x.bi%d", 0x1a2b + draw, static_cast<int>(stage));
    r.published = name;
    copy_text(out, size, name);
    return true;
}
std::uint16_t start_serving(void* c) {
    of(c).calls.push_back("serve");
    return of(c).port;
}
void send_command(void* c, bool second, std::uint16_t port, const char* file_name) {
    Recorder& r = of(c);
    // The device asks for the name the moment the command reaches it: it
    // must be the one served by then.
    bool current = r.published != nullptr && std::string(file_name) == r.published;
    r.calls.push_back(std::string(second ? "command second " : "command first ") + std::to_string(port) + " " +
                      file_name + (current ? "" : " (not the served name)"));
}
bool wait_for_transition(void* c) {
    of(c).calls.push_back("wait transition");
    return of(c).transition_passes;
}
void wait_for_end(void* c) { of(c).calls.push_back("wait end"); }

UpgradeSeams recording_seams(Recorder& r) {
    return UpgradeSeams{&r,           record_phase,  identify,           check,       publish,
                        start_serving, send_command, wait_for_transition, wait_for_end};
}

using Calls = std::vector<std::string>;

TEST(UpgradeSequence, OneStageServesTheTargetNameAndSendsOneCommand) {
    Recorder r;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(r), false), SequenceEnd::served);
    EXPECT_EQ(r.calls, (Calls{"identify", "check", "publish 1 first", "serve", "command first 6969 /qvr1a2b.bi1",
                              "wait end"}));
    EXPECT_EQ(r.phases, (std::vector<RunPhase>{RunPhase::identify, RunPhase::check, RunPhase::command,
                                               RunPhase::request}));
}

TEST(UpgradeSequence, TwoStagesPublishTheTargetNameBeforeTheSecondCommand) {
    Recorder r;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(r), true), SequenceEnd::served);
    EXPECT_EQ(r.calls, (Calls{"identify", "check", "publish 0 first", "serve", "command first 6969 /qvr1a2b.bi0",
                              "wait transition", "publish 1 second", "command second 6969 /qvr1a2c.bi1",
                              "wait end"}));
    EXPECT_EQ(r.phases.back(), RunPhase::request);
}

TEST(UpgradeSequence, FailedTransitionSendsNoSecondCommand) {
    Recorder r;
    r.transition_passes = false;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(r), true), SequenceEnd::served);
    EXPECT_EQ(r.calls, (Calls{"identify", "check", "publish 0 first", "serve", "command first 6969 /qvr1a2b.bi0",
                              "wait transition", "wait end"}));

    // No name for the target stage: no command naming nothing, but the
    // serving is still waited for (the front end has made it end).
    Recorder no_name;
    no_name.failing_draw = 1;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(no_name), true), SequenceEnd::served);
    EXPECT_EQ(no_name.calls, (Calls{"identify", "check", "publish 0 first", "serve",
                                    "command first 6969 /qvr1a2b.bi0", "wait transition", "publish 1 second",
                                    "wait end"}));
}

TEST(UpgradeSequence, RefusalsBeforeServingStartNothing) {
    Recorder not_identified;
    not_identified.identify_answer = false;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(not_identified), true), SequenceEnd::not_identified);
    EXPECT_EQ(not_identified.calls, (Calls{"identify"}));

    Recorder declined;
    declined.check_answer = false;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(declined), false), SequenceEnd::not_confirmed);
    EXPECT_EQ(declined.calls, (Calls{"identify", "check"}));
    EXPECT_EQ(declined.phases.back(), RunPhase::check);

    Recorder no_name;
    no_name.failing_draw = 0;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(no_name), false), SequenceEnd::no_file_name);
    EXPECT_EQ(no_name.calls, (Calls{"identify", "check", "publish 1 first"}));

    // A listener that did not start: no command for a port nobody serves,
    // and nothing to wait for.
    Recorder not_serving;
    not_serving.port = 0;
    EXPECT_EQ(run_upgrade_sequence(recording_seams(not_serving), true), SequenceEnd::not_serving);
    EXPECT_EQ(not_serving.calls, (Calls{"identify", "check", "publish 0 first", "serve"}));
}

TEST(UpgradeSequence, CallerThatIdentifiedEarlierStartsAtTheCommand) {
    Recorder r;
    UpgradeSeams seams = recording_seams(r);
    seams.identify = nullptr;
    seams.check = nullptr;
    seams.phase = nullptr;
    EXPECT_EQ(run_upgrade_sequence(seams, false), SequenceEnd::served);
    EXPECT_EQ(r.calls, (Calls{"publish 1 first", "serve", "command first 6969 /qvr1a2b.bi1", "wait end"}));
}

// The listener's side of the switch, played by the sleep: the stage moves
// on the third poll.
std::atomic<std::int32_t>* polled_stage = nullptr;
int naps = 0;
void nap(unsigned) {
    if (++naps == 3) polled_stage->store(sequence_target_stage);
}

TEST(StageSwitch, WaitsForTheListenerAndStopsWhenTheServingEnds) {
    std::atomic<std::int32_t> stage{sequence_transition_stage};
    std::atomic<bool> ended{false};
    polled_stage = &stage;
    naps = 0;
    EXPECT_TRUE(wait_for_target_stage(stage, &ended, 12, nap));
    EXPECT_EQ(naps, 3);
    // Ended: false whether or not the stage moved (nobody serves a second name).
    ended = true;
    EXPECT_FALSE(wait_for_target_stage(stage, &ended, 12, nap));
    stage = sequence_transition_stage;
    EXPECT_FALSE(wait_for_target_stage(stage, &ended, 12, nap));
}

}  // namespace
}  // namespace qvr
