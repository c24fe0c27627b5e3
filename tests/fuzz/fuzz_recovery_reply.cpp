// Fuzz target: any bytes as a discovery reply (the first 100, zero-padded),
// through what the recovery branch takes out of it, and as the text a user
// typed for the serial number.  Each identity text must end inside its
// field, be at most 20 characters and be exactly the reply's bytes up to
// the first NUL; the MAC address must be 12 upper-case hex digits; a message
// built from the typed text must keep 19 characters at most and zero bytes
// everywhere a text does not reach.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/identity.h"
#include "recovery/messages.h"

namespace {

void check_text(const char* field, const std::uint8_t* wire) {
    const char* end = static_cast<const char*>(std::memchr(field, '\0', qvr::identity_field_size));
    if (end == nullptr) std::abort();
    std::size_t n = static_cast<std::size_t>(end - field);
    if (n > qvr::reply_text_size) std::abort();
    if (std::memcmp(field, wire, n) != 0) std::abort();
    if (n < qvr::reply_text_size && wire[n] != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::uint8_t wire[sizeof(qvr::RecoveryReply)] = {};
    std::memcpy(wire, data, size < sizeof wire ? size : sizeof wire);
    qvr::RecoveryReply reply;
    std::memcpy(&reply, wire, sizeof reply);

    qvr::IdentityFields identity;
    std::memset(&identity, 0x55, sizeof identity);
    qvr::copy_reply_identity(reply, identity);
    check_text(identity.serial_number, wire + 8);
    check_text(identity.product_name, wire + 28);
    check_text(identity.software_version, wire + 54);
    check_text(identity.hardware_version, wire + 74);
    if (std::strlen(identity.mac_address) != 12) std::abort();
    for (int i = 0; i < 12; ++i) {
        char c = identity.mac_address[i];
        if (!((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) std::abort();
    }
    std::uint32_t address = qvr::reply_device_address(reply);
    if ((address >> 24) != wire[94] || (address & 0xFF) != wire[97]) std::abort();

    std::string_view typed(reinterpret_cast<const char*>(data), size);
    char entry[qvr::recovery_serial_size];
    qvr::normalise_serial_number(entry, typed);
    qvr::RecoveryMessage m = qvr::make_recovery_message(qvr::RECOVERY_UPGRADE, entry, 69, typed);
    if (m.serial_number[19] != 0 || m.file_name[127] != 0) std::abort();
    for (char c : std::string_view(m.serial_number))
        if (c >= 'a' && c <= 'z') std::abort();
    for (std::uint8_t b : m.reserved2)
        if (b != 0) std::abort();
    return 0;
}
