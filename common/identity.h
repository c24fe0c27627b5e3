// The device's identity as shown in the confirm dialog: written from the
// status page (or, in recovery, from the discovery reply), read again after
// an upload to learn the version the device now runs.
#pragma once

#include <cstddef>

namespace qvr {

inline constexpr std::size_t identity_field_size = 128;  // at most 127 characters

struct IdentityFields {
    char serial_number[identity_field_size];
    char mac_address[identity_field_size];
    char software_version[identity_field_size];
    char hardware_version[identity_field_size];
    char product_name[identity_field_size];
};

}  // namespace qvr
