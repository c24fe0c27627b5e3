#include "firmware/catalogue.h"

#include "common/text.h"

namespace qvr {

namespace {

constexpr CaseRule I = CaseRule::insensitive;
constexpr CaseRule X = CaseRule::exact;

constexpr CatalogueRow recovery_rows[] = {
    {"qvr6300", I, "QVR-6300", false},
    {"qvr6200", I, "QVR-6100/6200", false},
    {"qvr6202", I, "QVR-6202", false},
    {"qvr6101", I, "QVR-6101", false},
    {"qUoReL9", I, "QVR-741/QVR-721", true},
    {"qUoR701", I, "QVR-701", true},
    {"SqUoReM", I, "QVR-742/QVR-722", true},
    {"qUoReL6", I, "QVR-762", true},
    {"QuOrElX", X, "QVR71xG", false},
    {"quorel", I, "QVR-781", true},
    {"qvr6210", I, "QVR-6210", false},
    {"qvr6212", I, "QVR-6212", false},
    {"QvR6800", I, "QVR6800", false},
    {"QvR6880", I, "QVR6880", false},
    {"SqUoRe5", I, "QVR7x7g", false},
    {"qvr6312", I, "QVR-6312", false},
    {"QvR6900t", I, "QVR6900", false},
    {"qvr6900", I, "QVR-6900", false},
    {"TeLvOrO", I, "NAX2", false},
    {"TvNaX2V3", I, "NAX2T", false},
};

constexpr CatalogueRow staged_rows[] = {
    {"qvr6300", I, "QVR-6300", false},
    {"qvr6200", I, "QVR-6100/6200", false},
    {"qvr6101", I, "QVR-6101", false},
    {"quorel9", I, "QVR-741/721", true},
    {"quorel6", I, "QVR-762", true},
    {"SqUoReM", X, "QVR-742/722", true},
    {"qUoR701", I, "QVR-701", true},
    {"QuOrElX", X, "QVR71xG", false},
    {"quorel", I, "QVR-781", true},
    {"telvoro", I, "Telvoro NAX2", false},
    {"TvNaX2V3", I, "Telvoro NAX2T", false},
    {"QvR6202", X, "QVR-6202", false},
    {"QvR6312", X, "QVR-6312", false},
    {"QvR6212", X, "QVR-6212", false},
    {"qvr6210", I, "QVR-6210", false},
    {"QvR6900t", X, "QVR6900", false},
    {"qvr6900", I, "QVR-6900", false},
    {"QvR6800", X, "QVR6800", false},
    {"QvR6880", X, "QVR6880", false},
    {"SqUoRe5", X, "QVR7x7g", false},
};

constexpr char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool row_matches(const CatalogueRow& row, const std::uint8_t* header) {
    for (std::size_t i = 0; row.prefix[i] != '\0'; ++i) {
        char h = static_cast<char>(header[i]);
        char p = row.prefix[i];
        if (h == '\0') return false;
        if (row.case_rule == CaseRule::exact ? h != p : fold(h) != fold(p)) return false;
    }
    return true;
}

}  // namespace

const std::span<const CatalogueRow> recovery_catalogue{recovery_rows};
const std::span<const CatalogueRow> staged_catalogue{staged_rows};

std::span<const CatalogueRow> deliverable_catalogue(const DeliverableRules& rules) {
    return rules.deliverable == Deliverable::recovery_upgrader ? recovery_catalogue : staged_catalogue;
}

void identify_product_in(std::span<const CatalogueRow> table, const std::uint8_t* header,
                         ProductIdentity& out) {
    out.phone_family = 0;
    for (const CatalogueRow& row : table) {
        if (row_matches(row, header)) {
            copy_text(out.display_name, row.display_name);
            out.phone_family = row.phone_family ? 1 : 0;
            return;
        }
    }
    copy_text(out.display_name, "ODM-Product");
}

void identify_product(const DeliverableRules& rules, const std::uint8_t* header, ProductIdentity& out) {
    identify_product_in(deliverable_catalogue(rules), header, out);
}

}  // namespace qvr
