// The product catalogue: the image's product ID turned into the name users
// know and the phone-family flag that picks phone layouts and texts.
//
// Each deliverable has its own table.  Row order matters: some prefixes are
// prefixes of others ("quorel" of "qUoReL9"), so longer or stricter rows come
// first and the first matching row wins.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/deliverable.h"

namespace qvr {

inline constexpr std::size_t display_name_size = 32;

enum class CaseRule : std::uint8_t { insensitive, exact };

struct CatalogueRow {
    const char* prefix;  // 6 to 8 characters; its length is the match length
    CaseRule case_rule;
    const char* display_name;
    bool phone_family;
};

struct ProductIdentity {
    char display_name[display_name_size];
    int phone_family;  // 0 or 1
};

extern const std::span<const CatalogueRow> recovery_catalogue;
extern const std::span<const CatalogueRow> staged_catalogue;
// The table of a deliverable.
std::span<const CatalogueRow> deliverable_catalogue(const DeliverableRules& rules);

// Names the product of an image header with the given table; "ODM-Product"
// with the flag clear when no row matches.  A NUL in the header before the
// row's last compared byte is a difference.
void identify_product_in(std::span<const CatalogueRow> table, const std::uint8_t* header,
                         ProductIdentity& out);

// The same with a deliverable's table.
void identify_product(const DeliverableRules& rules, const std::uint8_t* header, ProductIdentity& out);

}  // namespace qvr
