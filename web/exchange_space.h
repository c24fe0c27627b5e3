// What the HTTP exchanges of a run work on, kept apart by the thread that
// runs them, so that an answer that comes late cannot reach another
// exchange's page, Digest state or identity fields.
//
// The main thread sends the upgrade command and then only waits for its
// answer, which a device busy writing flash may send late or never; the
// listener thread meanwhile makes the check after the upload.  Each has its
// own space.  What must run on from one to the other is the Digest state:
// the device counts every authorised request against its nonce, across the
// status request, the upgrade command and the check.  The exchange that
// composes an upgrade command posts a copy of its state as it composed it;
// the check takes that copy before it composes its own request, and the
// main thread takes the check's state back before a second upgrade command.
// Only copies pass, under a lock held for the copy alone: the check never
// waits for the command's exchange, which may never end.
#pragma once

#include <mutex>

#include "common/identity.h"
#include "web/digest.h"
#include "web/http_exchange.h"

namespace qvr {

struct ExchangeSpace {
    DigestState digest;
    IdentityFields identity;
    char page[page_capacity + 1];  // the request, then the response over it
};

// One copy of a Digest state in passing between threads.
struct DigestHandover {
    std::mutex lock;
    bool posted;
    DigestState state;
};

// Replaces what the handover holds with a copy of digest.
void post_digest(DigestHandover& handover, const DigestState& digest);

// When a state was posted since the last collect, copies it into digest
// and returns true.  A posted state that counts against the same nonce as
// digest but with a lower count keeps digest's count: a count is never
// sent twice.
bool collect_digest(DigestHandover& handover, DigestState& digest);

struct RunExchangeSpaces {
    ExchangeSpace main;             // the main thread: the status request and the upgrade commands
    ExchangeSpace after_upload;     // the listener thread: the check after an upload
    DigestHandover command_digest;  // as the last upgrade command was composed
};

// Before the listener thread starts: the check starts from what the main
// thread knows (the credentials, the challenge, the identity fields).
void begin_after_upload_space(RunExchangeSpaces& spaces);

// The space of a check after an upload, with the Digest state of the last
// upgrade command taken over when one was composed since the last check.
ExchangeSpace& after_upload_space(RunExchangeSpaces& spaces);

// The space of an upgrade command sent after a passed transition stage: the
// main thread takes over the Digest state of the check after that stage.
// Called once the listener has switched the stage (which it does after its
// check has ended).
ExchangeSpace& second_command_space(RunExchangeSpaces& spaces);

}  // namespace qvr
