#include "sequence/recovery_sequence.h"

#include "recovery/exchange.h"

namespace qvr {

namespace {

void enter(const RecoverySeams& seams, RunPhase phase) {
    if (seams.phase != nullptr) seams.phase(seams.context, phase);
}

SequenceEnd closed(SequenceEnd end) {
    close_recovery_socket();
    return end;
}

SequenceEnd refuse(const RecoverySeams& seams, ReplyRefusal refusal, std::uint32_t device, const char* why) {
    if (seams.refused != nullptr) seams.refused(seams.context, refusal, device, why);
    return closed(SequenceEnd::reply_refused);
}

}  // namespace

SequenceEnd run_recovery_sequence(const RecoverySeams& seams, const char* serial, const RecoveryReplyRules& rules) {
    enter(seams, RunPhase::identify);
    const RecoveryMessage discover = make_recovery_message(RECOVERY_DISCOVER, serial);
    RecoveryReply reply{};
    if (!seams.discover(seams.context, discover, reply)) return closed(SequenceEnd::not_identified);
    const std::uint32_t device = reply_device_address(reply);
    if (seams.found != nullptr) seams.found(seams.context, reply, device);

    // Another device in recovery may answer every discovery; with the
    // terminal's rules its reply is not taken for the one asked for.
    if (rules.same_serial_only && !reply_names_serial(reply, discover))
        return refuse(seams, ReplyRefusal::other_serial, device, "the reply names another serial number");
    if (device == 0) return refuse(seams, ReplyRefusal::no_address, device, "no address");
    if (rules.unicast_only) {
        if (const char* why = unusable_device_address(device, rules.pc_address); why != nullptr)
            return refuse(seams, ReplyRefusal::unusable_address, device, why);
    }

    enter(seams, RunPhase::check);
    if (!seams.confirm(seams.context)) return closed(SequenceEnd::not_confirmed);

    enter(seams, RunPhase::command);
    char name[recovery_file_name_size];
    if (!seams.publish_file_name(seams.context, name, sizeof name)) return closed(SequenceEnd::no_file_name);
    std::uint16_t port = seams.start_serving(seams.context);
    if (port == 0) return closed(SequenceEnd::not_serving);
    seams.send_upgrade(seams.context, make_recovery_message(RECOVERY_UPGRADE, serial, port, name));
    enter(seams, RunPhase::request);
    seams.wait_for_end(seams.context);
    return closed(SequenceEnd::served);
}

}  // namespace qvr
