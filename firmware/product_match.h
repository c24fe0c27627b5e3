// Does an image fit the device?  The image's product ID names a product by
// the catalogue; the device reports a product name on its status page (or in
// its discovery reply).  This compares the two before anything is sent, so
// a wrong image is kept off a device instead of being left to the user's
// eyes.
//
// The device's name is first made comparable (normalise_product_name):
// blanks, tabs and line ends around it are dropped and HTML character
// references decoded: a device may end its name with a line end
// ("QVR6880\r\n"), and its status page is HTML, where a name may be
// written with references ("QVR&#45;6300").
//
// Then it is compared with every display name of the rules' catalogue at two
// levels, the stricter deciding whenever any row fits there:
//   1. strict: letter case ignored, and a separator (a run of blanks, tabs,
//      "-" or "_") counts as one "-", so "qvr 6900", "QVR_6900" and
//      "QVR-6900" are one name and "QVR6900" another.  Two catalogue
//      products whose names differ only by a separator (QVR6900 and
//      QVR-6900) are told apart here: the presence and place of a
//      separator matter, not which character makes it.
//   2. loose: separators ignored altogether ("QVR6300" is QVR-6300).  Used
//      only when no name fits strictly, and trusted only when it points to
//      a single product: "QVR69-00" fits both QVR6900 and QVR-6900, and the
//      answer is then "cannot tell" (ambiguous) when the image is for one
//      of them, never the same product.
// A display name may list several models ("QVR-6100/6200": the second
// takes the first one's leading letters) and an "x" after a digit stands
// for any one character ("QVR71xG"): a device name that fits the image's
// name only through an "x" is the family case, another "cannot tell".
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/deliverable.h"
#include "firmware/catalogue.h"

namespace qvr {

enum class ProductMatch {
    same,           // the device names the image's product
    other,          // the device clearly names another product of the catalogue
    unknown_image,  // the catalogue has no row for the image's product ID
    unknown_device, // the device's name is empty or not in the catalogue
    family,         // the image's name covers several models ("QVR7x7g"), one of which the device may be
    ambiguous,      // the device's name fits the image's product and another one equally well
};

struct ProductComparison {
    ProductMatch match;
    ProductIdentity image;           // the image's product by the rules' catalogue
    const char* device_catalogue;    // other: the catalogue name the device's name fits;
                                     // ambiguous: the product other than the image's it may be
    const char* device_alternative;  // other: a second product the name fits as well, or null
};

ProductComparison compare_products(const DeliverableRules& rules, const std::uint8_t* image_header,
                                   std::string_view device_product);

// The device's product name made comparable: HTML character references
// decoded (&amp; &lt; &gt; &quot; &apos;, &#NN; and &#xHH; as UTF-8), then
// blanks, tabs, CR and LF trimmed from both ends.  One pass: "&amp;lt;"
// gives "&lt;".  A reference that is not well formed or names no character
// ("&#;", "&#x110000;", "&#0;", a surrogate, "&nbsp;", one without its ";")
// is left as it is, so the name then fits no catalogue row and the
// comparison says it cannot tell rather than guessing.
std::string normalise_product_name(std::string_view raw);

// True when a is a worse fit than b: another product is worse than any
// "cannot tell", which is worse than the same product.  Picks which of two
// images' comparisons (transition and target) speaks for both.
bool more_doubtful(ProductMatch a, ProductMatch b);

}  // namespace qvr
