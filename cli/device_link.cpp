#include "cli/device_link.h"

#include "common/text.h"
#include "web/http_exchange.h"

namespace qvr::cli {

void open_device_link(DeviceLink& link, const DeliverableRules& rules, const Credentials& credentials,
                      std::uint32_t pc_address, std::uint32_t device_address, const char* label) {
    link.rules = &rules;
    link.credentials = &credentials;
    link.pc_address = pc_address;
    link.device_address = device_address;
    copy_text(link.label, label);
    link.spaces.main.digest = DigestState{};
    link.spaces.main.identity = IdentityFields{};
    link.spaces.after_upload.digest = DigestState{};
    link.spaces.after_upload.identity = IdentityFields{};
    link.spaces.command_digest.posted = false;
}

int device_request(DeviceLink& link, ExchangeSpace& space, const char* target, DigestHandover* hand_over) {
    ChallengeRetry retry{};
    bool asked = false;
    for (;;) {
        std::int32_t result = http_exchange(*link.rules, link.pc_address, http_base_port, link.device_address,
                                            http_device_port, target, space.page, page_capacity, space.digest,
                                            space.identity, hand_over);
        if (result >= 0) return result;
        // A Digest challenge, now in the space's Digest state.
        if (step_after_challenge(space.digest, retry) == ChallengeStep::repeat) continue;
        bool entered = supply_password(*link.credentials, link.label, asked, space.digest);
        asked = true;
        if (step_after_password_dialog(entered, retry) == ChallengeStep::give_up) return REQUEST_GAVE_UP;
    }
}

}  // namespace qvr::cli
