#include "web/exchange_space.h"

#include <cstring>

namespace qvr {

void post_digest(DigestHandover& handover, const DigestState& digest) {
    std::lock_guard<std::mutex> hold(handover.lock);
    handover.state = digest;
    handover.posted = true;
}

bool collect_digest(DigestHandover& handover, DigestState& digest) {
    std::lock_guard<std::mutex> hold(handover.lock);
    if (!handover.posted) return false;
    handover.posted = false;
    std::uint32_t own_count = digest.nc;
    bool same_nonce = std::strcmp(digest.last_nonce, handover.state.last_nonce) == 0;
    digest = handover.state;
    if (same_nonce && own_count > digest.nc) digest.nc = own_count;
    return true;
}

void begin_after_upload_space(RunExchangeSpaces& spaces) {
    spaces.after_upload.digest = spaces.main.digest;
    spaces.after_upload.identity = spaces.main.identity;
}

ExchangeSpace& after_upload_space(RunExchangeSpaces& spaces) {
    collect_digest(spaces.command_digest, spaces.after_upload.digest);
    return spaces.after_upload;
}

ExchangeSpace& second_command_space(RunExchangeSpaces& spaces) {
    spaces.main.digest = spaces.after_upload.digest;
    return spaces.main;
}

}  // namespace qvr
