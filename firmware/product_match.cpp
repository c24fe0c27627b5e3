#include "firmware/product_match.h"

#include <span>
#include <string>

namespace qvr {

namespace {

enum class Level { strict, loose };

bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_hex_digit(char c) { return is_digit(c) || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F'); }
bool is_separator(char c) { return c == ' ' || c == '\t' || c == '-' || c == '_'; }
bool is_trimmed(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Upper case; separators as one "-" (strict) or none (loose), none at
// either end.
std::string name_key(std::string_view text, Level level) {
    std::string out;
    bool pending_separator = false;
    for (char c : text) {
        if (is_separator(c)) {
            pending_separator = !out.empty();
            continue;
        }
        if (pending_separator && level == Level::strict) out += '-';
        pending_separator = false;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

// 1 exact, 2 through a wildcard "X" (one after a digit, standing for any
// character but a separator), 0 no fit; both as keys.
int model_fit(const std::string& model, const std::string& device) {
    if (model == device) return 1;
    if (model.size() != device.size()) return 0;
    bool wild = false;
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (model[i] == device[i]) continue;
        if (model[i] == 'X' && i > 0 && is_digit(model[i - 1]) && device[i] != '-') {
            wild = true;
            continue;
        }
        return 0;
    }
    return wild ? 2 : 0;
}

// How a device key fits a display name at a level: the name as a whole or
// one of the models it lists.  0, 1 or 2 as model_fit.
int name_fit(std::string_view display_name, const std::string& device, Level level) {
    if (device.empty()) return 0;
    if (name_key(display_name, level) == device) return 1;
    int best = 0;
    std::string prefix;  // the first model's leading letters, for "QVR-6100/6200"
    std::size_t start = 0;
    while (start <= display_name.size()) {
        std::size_t slash = display_name.find('/', start);
        if (slash == std::string_view::npos) slash = display_name.size();
        std::string model = name_key(display_name.substr(start, slash - start), level);
        if (start == 0) {
            std::size_t letters = 0;
            while (letters < model.size() && !is_digit(model[letters])) ++letters;
            prefix = model.substr(0, letters);
        } else if (!model.empty() && is_digit(model[0])) {
            model = prefix + model;
        }
        int fit = model.empty() ? 0 : model_fit(model, device);
        if (fit == 1) return 1;
        if (fit == 2) best = 2;
        start = slash + 1;
    }
    return best;
}

void append_utf8(std::string& out, std::uint32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// The character reference at the start of text ("&...;"): its length and
// the code point, or 0 when it is not one this decodes.
std::size_t character_reference(std::string_view text, std::uint32_t& code) {
    static constexpr struct {
        std::string_view name;
        char value;
    } named[] = {{"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    for (const auto& n : named) {
        if (text.substr(0, n.name.size()) == n.name) {
            code = static_cast<unsigned char>(n.value);
            return n.name.size();
        }
    }
    if (text.substr(0, 2) != "&#") return 0;
    bool hex = text.size() > 2 && (text[2] == 'x' || text[2] == 'X');
    std::size_t i = hex ? 3 : 2;
    std::size_t first = i;
    std::uint32_t value = 0;
    for (; i < text.size() && (hex ? is_hex_digit(text[i]) : is_digit(text[i])); ++i) {
        char c = text[i];
        std::uint32_t digit = is_digit(c) ? static_cast<std::uint32_t>(c - '0')
                                          : static_cast<std::uint32_t>((c | 0x20) - 'a' + 10);
        value = value * (hex ? 16 : 10) + digit;
        if (value > 0x10FFFF) return 0;  // also keeps the sum from wrapping
    }
    if (i == first || i >= text.size() || text[i] != ';') return 0;
    if (value == 0 || (value >= 0xD800 && value <= 0xDFFF)) return 0;
    code = value;
    return i + 1;
}

// Among the rows that fit a device key exactly at one level: how many,
// whether the image's product is one of them, and the names of up to two
// of the others.
struct Fits {
    const char* names[2];
    int count;
    bool image_among;
};

Fits exact_fits(std::span<const CatalogueRow> table, std::string_view image_name, const std::string& device,
                Level level) {
    Fits fits{{nullptr, nullptr}, 0, false};
    for (const CatalogueRow& row : table) {
        if (name_fit(row.display_name, device, level) != 1) continue;
        ++fits.count;
        if (row.display_name == image_name)
            fits.image_among = true;
        else if (fits.names[0] == nullptr)
            fits.names[0] = row.display_name;
        else if (fits.names[1] == nullptr)
            fits.names[1] = row.display_name;
    }
    return fits;
}

}  // namespace

std::string normalise_product_name(std::string_view raw) {
    std::string decoded;
    for (std::size_t i = 0; i < raw.size(); ++i) {
        std::uint32_t code = 0;
        std::size_t n = raw[i] == '&' ? character_reference(raw.substr(i), code) : 0;
        if (n == 0) {
            decoded += raw[i];
            continue;
        }
        append_utf8(decoded, code);
        i += n - 1;
    }
    std::size_t first = 0, last = decoded.size();
    while (first < last && is_trimmed(decoded[first])) ++first;
    while (last > first && is_trimmed(decoded[last - 1])) --last;
    return decoded.substr(first, last - first);
}

bool more_doubtful(ProductMatch a, ProductMatch b) {
    auto rank = [](ProductMatch m) { return m == ProductMatch::same ? 0 : m == ProductMatch::other ? 2 : 1; };
    return rank(a) > rank(b);
}

ProductComparison compare_products(const DeliverableRules& rules, const std::uint8_t* image_header,
                                   std::string_view device_product) {
    ProductComparison result{ProductMatch::unknown_device, {}, nullptr, nullptr};
    std::span<const CatalogueRow> table = deliverable_catalogue(rules);
    identify_product_in(table, image_header, result.image);
    // No row names "ODM-Product": it is what an unknown product ID gets.
    std::string_view image_name = result.image.display_name;
    if (image_name == "ODM-Product") {
        result.match = ProductMatch::unknown_image;
        return result;
    }
    std::string device = normalise_product_name(device_product);
    Fits fits{};
    for (Level level : {Level::strict, Level::loose}) {
        fits = exact_fits(table, image_name, name_key(device, level), level);
        if (fits.count != 0) break;
    }
    if (fits.count == 0) {
        bool family = name_fit(image_name, name_key(device, Level::strict), Level::strict) == 2 ||
                      name_fit(image_name, name_key(device, Level::loose), Level::loose) == 2;
        result.match = family ? ProductMatch::family : ProductMatch::unknown_device;
        return result;
    }
    if (fits.image_among) {
        result.match = fits.count == 1 ? ProductMatch::same : ProductMatch::ambiguous;
        result.device_catalogue = fits.names[0];
        return result;
    }
    result.match = ProductMatch::other;
    result.device_catalogue = fits.names[0];
    result.device_alternative = fits.names[1];
    return result;
}

}  // namespace qvr
