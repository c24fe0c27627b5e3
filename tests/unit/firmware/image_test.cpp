#include "firmware/image.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <iterator>
#include <vector>

#include "common/build_deliverable.h"
#include "firmware/catalogue.h"

namespace qvr {
namespace {

// The image the programs carry by default is read in place: its version
// and its product as the dialogs show them.
TEST(Image, SampleIsServedInPlaceAndNamed) {
    std::ifstream f(QVR_SAMPLE_IMAGE, std::ios::binary);
    std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(f), {}};
    FirmwareImage image;
    attach_firmware_image(image, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    EXPECT_EQ(image.data, bytes.data()) << "the image must be served in place, not copied";
    EXPECT_EQ(image.size, bytes.size());
    EXPECT_EQ(image_version(image), "7.5.6a");
    EXPECT_EQ(image_problem(bytes.data(), bytes.size()), nullptr);
    ProductIdentity product;
    identify_product(build_rules, image.header, product);
    EXPECT_STREQ(product.display_name, "QVR7x7g");
}

// The served length is the length held, not the header's total-length
// field; the version text never runs past the header; the sizes an image
// may have to be embedded: 33,553,919 bytes (65,535 blocks of 512, the last
// one short) is the largest, 33,553,920 the first refused.
TEST(Image, LengthVersionAndSizeLimits) {
    std::vector<std::uint8_t> bytes(33553920, 'V');  // no NUL anywhere in the header
    bytes[91] = 0xFF;  // total-length field claims far more
    FirmwareImage image;
    attach_firmware_image(image, bytes.data(), 1000);
    EXPECT_EQ(image.size, 1000u);
    EXPECT_EQ(image_version(image).size(), 36u);
    EXPECT_NE(image_problem(bytes.data(), 1000), nullptr);
    bytes[127] = 0;  // a 35-character version is the longest that fits
    EXPECT_EQ(image_problem(bytes.data(), 33553919), nullptr);
    EXPECT_NE(image_problem(bytes.data(), 33553920), nullptr);
    EXPECT_NE(image_problem(bytes.data(), 127), nullptr);
    attach_firmware_image(image, bytes.data(), 10);  // short: the header copy is padded
    EXPECT_EQ(image.header[127], 0);
}

}  // namespace
}  // namespace qvr
