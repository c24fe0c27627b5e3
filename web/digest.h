// HTTP Digest authentication (RFC 2617) as the device speaks it.
//
// One DigestState per process holds the credentials the user typed, the
// latest challenge and the nonce count.  The exchange reads each 401
// challenge into it with parse_digest_challenge and, once a password is
// known, puts the line from compose_authorization into every request.
//
// The device's dialect, which differs from RFC 2617 on purpose (a server of
// the RFC may refuse it; the device expects exactly this):
//   - md5-sess hashes the 16 raw bytes of MD5(username:realm:password), not
//     their 32-character hex text, into H(A1);
//   - nc is written with nine hexadecimal digits, not eight;
//   - qop is used whole as the challenge wrote it ("auth,auth-int" is not
//     split and is then neither auth nor auth-int);
//   - the algorithm parameter is always sent, quoted, even when empty;
//   - no blank follows the commas between the parameters.
//
// Nothing here does I/O; the client nonce comes from next_random(), which
// a test seeds to replay an exchange.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "web/md5.h"

namespace qvr {

inline constexpr std::size_t digest_text_size = 128;  // nonces, names, realm, uri, opaque: 127 characters
inline constexpr std::size_t digest_token_size = 16;  // qop and algorithm: 15 characters
inline constexpr std::size_t digest_hex_size = 2 * md5_digest_size + 1;  // 32 hex digits and a NUL

// All zero at start: no password, so requests carry no Authorization line.
// Never cleared during the run.
struct DigestState {
    std::uint32_t nc;                    // requests sent against last_nonce
    char last_nonce[digest_text_size];   // the nonce nc counts against
    char nonce[digest_text_size];        // of the latest challenge
    char cnonce[digest_text_size];       // made when the latest challenge was read
    char username[digest_text_size];     // from the password dialog
    char password[digest_text_size];     // from the password dialog; empty: no Authorization line
    char realm[digest_text_size];        // of the latest challenge
    char qop[digest_token_size];         // of the latest challenge, as written
    char algorithm[digest_token_size];   // of the latest challenge, as written
    char uri[digest_text_size];          // target of the request being authorised
    char opaque[digest_text_size];       // of the latest challenge
};

// Writes the 16 bytes as 32 lower-case hex digits, high nibble first, and a NUL.
void hex_lower(const std::uint8_t (&digest)[md5_digest_size], char (&text)[digest_hex_size]);

// H(A1) as hex text.  MD5(username:realm:password); when algorithm is
// "md5-sess" in any letter case, MD5 over that digest's 16 raw bytes,
// ":", nonce, ":", cnonce.  Any other algorithm text (empty, "MD5", an
// unknown name) gives the plain digest: no algorithm is refused.
void digest_session_key(std::string_view algorithm, std::string_view username, std::string_view realm,
                        std::string_view password, std::string_view nonce, std::string_view cnonce,
                        char (&ha1)[digest_hex_size]);

// The request-digest (response=) as hex text.  H(A2) is MD5(method:uri),
// with ":" and the hex MD5 of the always empty body appended when qop is
// "auth-int" in any letter case.  With qop empty the digest is
// MD5(ha1:nonce:H(A2)); otherwise MD5(ha1:nonce:nc_text:cnonce:qop:H(A2)).
void digest_response(std::string_view ha1, std::string_view nonce, std::string_view nc_text,
                     std::string_view cnonce, std::string_view qop, std::string_view method,
                     std::string_view uri, char (&response)[digest_hex_size]);

// Reads a challenge: text runs from "WWW-Authenticate:" to the end of the
// received data.  Each parameter is the first case-sensitive occurrence of
// name="..." anywhere in the text (any order, any header line, even the
// body; the scheme word is not examined); the value ends at the next
// double quote or at the end of the text.  Unquoted values (qop=auth) are
// not recognised.
//
// No realm="": false, nothing changed.  No nonce="": false, with only the
// realm updated.  Otherwise true: a nonce other than last_nonce becomes
// last_nonce and sets nc to 0 (the same nonce keeps nc), a new cnonce is
// drawn ("%x" of next_random(), so one to four hex digits) at every
// challenge, and algorithm, qop and opaque take their values or become
// empty when absent.
//
// A value longer than its field is cut to fit (127 characters, 15 for qop
// and algorithm); the record is never overrun.  A device whose nonce is cut
// will refuse the answer and challenge again, which ends at the password
// dialog like any refusal.
bool parse_digest_challenge(DigestState& state, std::string_view text);

// Stores target in uri (cut to 127 characters) and writes at out the line
//   Authorization: Digest username="..",realm="..",nonce="..",uri="..",
//   algorithm="..",response=".."[,opaque=".."][,qop=..,nc=%09x,cnonce=".."]
// (one line, no blanks) ending in CR LF, with a NUL after it.  Values go in
// unescaped.  The caller has already increased nc for this request.
// Returns the characters written, or 0 when the line and its NUL do not fit
// in capacity bytes (out then holds an empty text).  The longest possible
// line is under 1000 characters.
std::size_t compose_authorization(DigestState& state, std::string_view target, char* out, std::size_t capacity);

// ---- After a challenge ----------------------------------------------------
// What the request worker does when an attempt drew a 401 challenge (now in
// the state): repeat the request once without asking, ask for the password,
// or give up.

enum class ChallengeStep {
    repeat,        // send the request again with the stored credentials
    ask_password,  // show the password dialog
    give_up,       // the user cancelled the password dialog: "User Abort"
};

// Kept by the caller for one request (zero at its start): the repeats made
// without asking since the password was last entered, 0 or 1.
struct ChallengeRetry {
    unsigned automatic_repeats;
};

// After a challenge.  nc is 0 only when the challenge brought a nonce the
// stored credentials have not been tried against (each authenticated request
// counts it up first): with a password stored, such a challenge is repeated
// once without asking, which is how a device that makes a new nonce for
// every challenge, or lets an old one go stale, is answered.  A challenge
// that repeats the nonce after an authenticated request means the
// credentials were refused: the dialog again.  So is a second new nonce in a
// row, and any challenge while the password is empty.
ChallengeStep step_after_challenge(const DigestState& state, ChallengeRetry& retry);

// After the password dialog: OK (entered) repeats the request and allows one
// automatic repeat again; Cancel gives up.
ChallengeStep step_after_password_dialog(bool entered, ChallengeRetry& retry);

}  // namespace qvr
