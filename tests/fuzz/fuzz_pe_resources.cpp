// The resource reader over any bytes as an .exe file: whatever it finds
// must lie inside the input, and nothing may read past it (the sanitizers
// watch every access).
#include <cstdlib>
#include <span>

#include "firmware/pe_resources.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    std::span<const std::uint8_t> file(bytes, size);
    for (std::uint16_t id : {std::uint16_t{112}, std::uint16_t{726}, std::uint16_t{319}}) {
        std::span<const std::uint8_t> data;
        if (qvr::find_pe_resource(file, "QVR_FIRMWARE", id, data) != qvr::PeResourceFind::found) continue;
        if (data.data() < bytes || data.data() + data.size() > bytes + size) std::abort();
    }
    return 0;
}
