#include "firmware/product_match.h"

#include <string>

namespace qvr {

namespace {

// Upper case, without blanks, "-" and "_".
std::string fold_name(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == ' ' || c == '-' || c == '_' || c == '\t') continue;
        out += (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
    }
    return out;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// 1 exact, 2 through a wildcard "X" (one after a digit), 0 no fit; both folded.
int model_fit(const std::string& model, const std::string& device) {
    if (model == device) return 1;
    if (model.size() != device.size()) return 0;
    bool wild = false;
    for (std::size_t i = 0; i < model.size(); ++i) {
        if (model[i] == device[i]) continue;
        if (model[i] == 'X' && i > 0 && is_digit(model[i - 1])) {
            wild = true;
            continue;
        }
        return 0;
    }
    return wild ? 2 : 0;
}

}  // namespace

int display_name_fit(std::string_view display_name, std::string_view device_product) {
    std::string device = fold_name(device_product);
    if (device.empty()) return 0;
    if (fold_name(display_name) == device) return 1;
    int best = 0;
    std::string prefix;  // the first model's leading letters, for "QVR-6100/6200"
    std::size_t start = 0;
    while (start <= display_name.size()) {
        std::size_t slash = display_name.find('/', start);
        if (slash == std::string_view::npos) slash = display_name.size();
        std::string model = fold_name(display_name.substr(start, slash - start));
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

ProductComparison compare_products(const DeliverableRules& rules, const std::uint8_t* image_header,
                                   std::string_view device_product) {
    ProductComparison result{ProductMatch::unknown_device, {}, nullptr};
    std::span<const CatalogueRow> table = deliverable_catalogue(rules);
    identify_product_in(table, image_header, result.image);
    // No row names "ODM-Product": it is what an unknown product ID gets.
    if (std::string_view(result.image.display_name) == "ODM-Product") {
        result.match = ProductMatch::unknown_image;
        return result;
    }
    int fit = display_name_fit(result.image.display_name, device_product);
    if (fit == 1) {
        result.match = ProductMatch::same;
        return result;
    }
    for (const CatalogueRow& row : table) {
        if (display_name_fit(row.display_name, device_product) == 1) {
            result.match = ProductMatch::other;
            result.device_catalogue = row.display_name;
            return result;
        }
    }
    result.match = fit == 2 ? ProductMatch::family : ProductMatch::unknown_device;
    return result;
}

}  // namespace qvr
