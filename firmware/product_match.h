// Does an image fit the device?  The image's product ID names a product by
// the catalogue; the device reports a product name on its status page (or in
// its discovery reply).  This compares the two before anything is sent, so
// a wrong image is kept off a device instead of being left to the user's
// eyes.
#pragma once

#include <cstdint>
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
};

struct ProductComparison {
    ProductMatch match;
    ProductIdentity image;          // the image's product by the rules' catalogue
    const char* device_catalogue;   // other: the catalogue name the device's name matches
};

// Names are compared without regard to letter case, blanks, "-" and "_".
// A display name may list several models ("QVR-6100/6200": the second
// takes the first one's leading letters) and an "x" after a digit stands for
// any one character ("QVR71xG").  A device name equal to one listed model,
// or to the display name itself, is the same product; one that fits a
// model only through an "x" is the family case; one that fits another row
// of the rules' catalogue (and not the image's) is another product.
ProductComparison compare_products(const DeliverableRules& rules, const std::uint8_t* image_header,
                                   std::string_view device_product);

// The same test on names alone: how a device name fits a display name.
// 0 no fit, 1 an exact model, 2 only through an "x".
int display_name_fit(std::string_view display_name, std::string_view device_product);

}  // namespace qvr
