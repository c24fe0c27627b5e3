#include "cli/address_range.h"

#include <unordered_set>

#include "tftp/listener.h"

namespace qvr::cli {

namespace {

constexpr unsigned min_prefix = 16;

// One to `digits` decimal digits and nothing else; false otherwise.
bool parse_small_number(std::string_view text, std::size_t digits, unsigned& out) {
    if (text.empty() || text.size() > digits) return false;
    unsigned n = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return false;
        n = n * 10 + static_cast<unsigned>(c - '0');
    }
    out = n;
    return true;
}

std::string refused(std::string_view word, const char* why) {
    return "'" + std::string(word) + "' " + why;
}

constexpr const char FORMS[] =
    "is not a range to scan (a.b.c.d/nn with nn from 16 to 32, a.b.c.d-e, or a.b.c.d)";

// The range's first and last address, both included; false with the
// reason when the word has none of the three forms.
bool range_bounds(std::string_view word, std::uint32_t& first, std::uint32_t& last, std::string& error) {
    const std::size_t slash = word.find('/');
    const std::size_t dash = word.find('-');
    if (slash != std::string_view::npos && dash != std::string_view::npos) {
        error = refused(word, FORMS);
        return false;
    }
    std::uint32_t base = 0;
    const std::size_t address_end = slash != std::string_view::npos ? slash : dash;
    if (!parse_dotted_quad(word.substr(0, address_end), base)) {
        error = refused(word, FORMS);
        return false;
    }
    if (slash != std::string_view::npos) {
        unsigned prefix = 0;
        if (!parse_small_number(word.substr(slash + 1), 2, prefix) || prefix > 32) {
            error = refused(word, FORMS);
            return false;
        }
        if (prefix < min_prefix) {
            error = refused(word, "is too wide to scan: the prefix must be from 16 to 32 bits");
            return false;
        }
        const std::uint32_t host_bits = prefix == 32 ? 0u : (0xFFFFFFFFu >> prefix);
        first = base & ~host_bits;
        last = first | host_bits;
        if (prefix <= 30) {
            ++first;  // the network's own address
            --last;   // its broadcast address
        }
        return true;
    }
    if (dash != std::string_view::npos) {
        unsigned end = 0;
        const unsigned start = base & 0xFFu;
        if (!parse_small_number(word.substr(dash + 1), 3, end) || end > 255) {
            error = refused(word, FORMS);
            return false;
        }
        if (end < start) {
            error = refused(word, "ends below where it starts (a.b.c.d-e needs e from d to 255)");
            return false;
        }
        first = base;
        last = (base & ~0xFFu) | end;
        return true;
    }
    first = last = base;
    return true;
}

}  // namespace

bool scannable_address(std::uint32_t address) {
    return (address >> 24) != 0 && address < 0xE0000000u;
}

bool parse_address_range(std::string_view word, std::vector<std::uint32_t>& out, std::string& error) {
    std::uint32_t first = 0, last = 0;
    if (!range_bounds(word, first, last, error)) return false;
    // The refused addresses lie below 1.0.0.0 and from 224.0.0.0 up, so a
    // range of consecutive addresses holds one only if one of its ends is.
    if (!scannable_address(first) || !scannable_address(last)) {
        error = refused(word, "holds an address no device can have (0.x.x.x, multicast, broadcast or reserved)");
        return false;
    }
    for (std::uint64_t a = first; a <= last; ++a) out.push_back(static_cast<std::uint32_t>(a));
    return true;
}

bool expand_ranges(const std::vector<std::string>& words, std::vector<std::uint32_t>& out, std::string& error) {
    std::size_t total = 0;
    for (const std::string& word : words) {
        std::uint32_t first = 0, last = 0;
        if (!range_bounds(word, first, last, error)) return false;
        total += static_cast<std::size_t>(last - first) + 1;
        if (total > max_scan_addresses) {
            error = "the ranges hold more than 65536 addresses; scan them in parts";
            return false;
        }
    }
    std::vector<std::uint32_t> all;
    all.reserve(total);
    for (const std::string& word : words)
        if (!parse_address_range(word, all, error)) return false;
    std::unordered_set<std::uint32_t> seen;
    seen.reserve(all.size());
    out.clear();
    for (std::uint32_t a : all)
        if (seen.insert(a).second) out.push_back(a);
    return true;
}

}  // namespace qvr::cli
