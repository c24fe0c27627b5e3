// One HTTP/1.1 GET to the device's web server, on a fresh TCP connection:
// the status request "/admin/advanced", the upgrade command and the check
// after an upload all come through http_exchange.
//
// The device answers one request per connection and then closes it; the
// whole response is read into the caller's page buffer.  A 401 with a usable
// Digest challenge is stored in the DigestState for the next attempt; any
// other response is a page, and the five identity fields are taken from it
// wherever their labels are found.
//
// The process-wide records (the page buffer, the DigestState, the identity
// fields) are the caller's: they come in as arguments, so the same code
// serves the Windows request worker and the native tests.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "common/deliverable.h"
#include "common/identity.h"
#include "platform/socket.h"
#include "web/digest.h"

namespace qvr {

struct DigestHandover;  // web/exchange_space.h

// The page buffer is page_capacity + 1 bytes, so a NUL always fits after
// the last byte received.
inline constexpr std::uint32_t page_capacity = 131071;
// Every request binds a local port from here (and up to 100 above), and
// goes to port 80 of the device.
inline constexpr std::uint16_t http_base_port = 23456;
inline constexpr std::uint16_t http_device_port = 80;
inline constexpr unsigned http_port_attempts = 101;

// How an exchange ended beyond its byte count, for the front end to act on.
// The portable code never ends the run: a failure that ends it in the
// Windows programs is handed back here with the system's text, and the
// front end decides (the programs show the fatal report and end; the
// terminal program fails that device and goes on).
struct HttpOutcome {
    const char* failure;  // "Upgrade Failed: Can't bind HTTP socket", ...; nullptr when none
    bool timed_out;       // the deadline passed before the answer was whole
    int status;           // the answer's HTTP status code; 0 when none could be read
};

// Opens a TCP socket, binds it to pc_address (0: any) at the first free
// port from base_port to base_port + 100 (never past 65535), and connects
// it to device_port of device_address: with the platform's own connect
// time-out when connect_timeout_ms is 0, else within that many
// milliseconds.  Returns invalid_socket when there is no connection; the
// failures that end a run are then named in outcome.failure: "Upgrade
// Failed: Can't open HTTP socket", "Upgrade Failed: Can't bind HTTP
// socket", and under rules whose connect_failure_ends_run is set (the
// recovery-upgrader's) "Upgrade Failed: Can't connect to QVR".  Otherwise a
// failed connect names nothing, so that the staged-upgrader's check after
// an upload can try again.
SocketHandle open_http_connection(const DeliverableRules& rules, std::uint32_t pc_address, std::uint16_t base_port,
                                  std::uint32_t device_address, std::uint16_t device_port, HttpOutcome& outcome,
                                  unsigned connect_timeout_ms = 0);

// Writes the request for target at the start of buffer (size bytes):
//   GET <target> HTTP/1.1 CR LF
//   Host: 192.168.2.110 CR LF
//   [the Authorization line, only while a password is set; nc is increased first]
//   CR LF
// with a NUL after it, and returns its length.  The target goes in
// verbatim.  A request that does not fit gives 0 and leaves nc as it was.
std::size_t compose_http_request(DigestState& digest, std::string_view target, char* buffer, std::size_t size);

// Where the challenge of a 401 answer starts: when text begins "HTTP/1.1",
// after its ninth character and any blanks and tabs comes "401", and a
// "WWW-Authenticate:" follows at or after that code, the text from that
// header to the end; otherwise an empty view.  Whether the challenge is
// usable is parse_digest_challenge's to say.  Reads nothing outside text
// and changes nothing.
std::string_view find_digest_challenge(std::string_view text);

// Reads the answer's challenge into digest (parse_digest_challenge over
// what find_digest_challenge finds): true when the answer holds a usable
// Digest challenge, which is then stored.  An answer that is no 401 with
// that header leaves digest as it was.
bool read_digest_challenge(std::string_view text, DigestState& digest);

// The status code of an answer that begins "HTTP/1.x" followed by blanks and
// three digits; 0 for anything else.
int http_status_code(std::string_view text);

// Finds the first label (exact bytes) anywhere in text, steps past the next
// ">" and past every tag that follows at once ("</td><td>"), and copies what
// comes up to the next "<" or the end of the text, at most 127 characters,
// into field with a NUL.  Nothing is trimmed or decoded: a blank or a line
// break after the tags is part of the value.  Returns false, with field
// unchanged, when the label or a ">" is missing.
bool extract_labelled_value(std::string_view text, std::string_view label, char (&field)[identity_field_size]);

// Runs extract_labelled_value for "Product Name:", "MAC Address:",
// "Software Version:", "Hardware Version:" and "Serial Number:", in that
// order, each over the whole text.  A field whose label is absent keeps its
// earlier value (from an earlier page or the discovery reply).
void extract_identity(std::string_view text, IdentityFields& identity);

// One exchange: connect (open_http_connection), send the request for
// target, read the response into buffer until the device closes the
// connection, a receive fails, or capacity bytes have come.  With
// deadline_ms 0 nothing of it has a time-out of its own (the Windows
// programs: the user's way out is the Cancel of the connecting dialog);
// otherwise the connect, the send and the whole answer end within
// deadline_ms of the start, and an answer cut short by it counts as none.  buffer holds capacity + 1 bytes and always ends up
// NUL-terminated; capacity is at most 2^31 - 1.
//
// Returns -1 when the response is a usable Digest challenge (now in digest;
// identity untouched), 0 when nothing was received (or, when a failed
// connect does not end the run, no connection could be made), and otherwise the number
// of bytes received, after extract_identity has run over them.  The status
// code does not matter for a page.  Bytes received are taken as they are,
// NUL bytes included.
//
// With hand_over, a copy of digest is posted there once the request is
// composed and before it is sent (the upgrade command's, for the check
// after the upload, which may run before this exchange ends).  A request
// sent only in part is a failed exchange: 0, nothing read.
//
// outcome, when given, receives the failure text, whether the deadline
// passed, and the answer's status code.
std::int32_t http_exchange(const DeliverableRules& rules, std::uint32_t pc_address, std::uint16_t base_port,
                           std::uint32_t device_address, std::uint16_t device_port, std::string_view target, char* buffer,
                           std::uint32_t capacity, DigestState& digest, IdentityFields& identity,
                           DigestHandover* hand_over = nullptr, HttpOutcome* outcome = nullptr,
                           unsigned deadline_ms = 0);

}  // namespace qvr
