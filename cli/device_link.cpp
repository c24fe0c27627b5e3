#include "cli/device_link.h"

#include <cstdio>

#include "common/text.h"
#include "web/device_targets.h"
#include "web/http_exchange.h"

namespace qvr::cli {

void open_device_link(DeviceLink& link, const DeliverableRules& rules, const Credentials& credentials,
                      std::uint32_t pc_address, std::uint32_t device_address, const char* label,
                      unsigned deadline_ms) {
    link.rules = &rules;
    link.credentials = &credentials;
    link.pc_address = pc_address;
    link.device_address = device_address;
    copy_text(link.label, label);
    link.deadline_ms = deadline_ms;
    link.spaces.main.digest = DigestState{};
    link.spaces.main.identity = IdentityFields{};
    link.spaces.after_upload.digest = DigestState{};
    link.spaces.after_upload.identity = IdentityFields{};
    link.spaces.command_digest.posted = false;
}

int device_request(DeviceLink& link, ExchangeSpace& space, const char* target, DigestHandover* hand_over,
                   HttpOutcome* outcome) {
    ChallengeRetry retry{};
    bool asked = false;
    for (;;) {
        std::int32_t result = http_exchange(*link.rules, link.pc_address, http_base_port, link.device_address,
                                            http_device_port, target, space.page, page_capacity, space.digest,
                                            space.identity, hand_over, outcome, link.deadline_ms);
        if (result >= 0) return result;
        // A Digest challenge, now in the space's Digest state.
        if (step_after_challenge(space.digest, retry) == ChallengeStep::repeat) continue;
        bool entered = supply_password(*link.credentials, link.label, asked, space.digest);
        asked = true;
        if (step_after_password_dialog(entered, retry) == ChallengeStep::give_up) return REQUEST_GAVE_UP;
    }
}

namespace {

bool names_any_identity(const IdentityFields& id) {
    for (const char* field : {id.serial_number, id.mac_address, id.software_version, id.hardware_version,
                              id.product_name})
        if (field[0] != '\0') return true;
    return false;
}

std::string status_words(int status) { return status != 0 ? " (HTTP " + std::to_string(status) + ")" : ""; }

}  // namespace

std::string status_page_failure(int answer, const HttpOutcome& outcome, const IdentityFields& identity,
                                unsigned deadline_ms) {
    if (outcome.failure != nullptr) return outcome.failure;
    if (answer == REQUEST_GAVE_UP) return MESSAGE_GAVE_UP_PASSWORD;
    if (answer <= 0 && outcome.timed_out) {
        char seconds[32];
        std::snprintf(seconds, sizeof seconds, "%g", deadline_ms / 1000.0);
        return std::string(MESSAGE_NO_RESPONSE) + " (no whole answer within " + seconds + " s)";
    }
    if (answer <= 0) return MESSAGE_NO_RESPONSE;
    if (!names_any_identity(identity))
        return "Upgrade Failed: the device's status page" + status_words(outcome.status) +
               " names none of its identity fields";
    return "";
}

std::string command_failure(int answer, const HttpOutcome& outcome) {
    if (outcome.failure != nullptr) return outcome.failure;
    if (answer == REQUEST_GAVE_UP) return MESSAGE_GAVE_UP_PASSWORD;
    if (answer > 0 && outcome.status >= 400)
        return "Upgrade Failed: the device refused the upgrade command" + status_words(outcome.status);
    return "";
}

}  // namespace qvr::cli
