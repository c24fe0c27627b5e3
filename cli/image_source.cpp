#include "cli/image_source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <span>

#include "firmware/pe_resources.h"

namespace qvr::cli {

namespace {

// No image and no program of ours comes near this; a larger file is not one.
constexpr std::size_t largest_file = 64u << 20;

bool read_file(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = path + ": " + std::strerror(errno);
        return false;
    }
    bytes.clear();
    std::uint8_t chunk[65536];
    std::size_t n = 0;
    while ((n = std::fread(chunk, 1, sizeof chunk, f)) > 0) {
        if (bytes.size() + n > largest_file) {
            std::fclose(f);
            error = path + ": larger than 64 MiB, not an image or one of our programs";
            return false;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    bool failed = std::ferror(f) != 0;
    std::fclose(f);
    if (failed) {
        error = path + ": read error";
        return false;
    }
    return true;
}

// Checks bytes handed in as an image and, when they are one, points image
// at them.  A Windows program given where an image is expected gets the way
// to take its image out of it (user_file: the bytes are a file the user
// named, not an image taken out of a program).
bool check_and_attach(const std::string& what, std::span<const std::uint8_t> bytes, FirmwareImage& image,
                      bool user_file, std::string& error) {
    const char* problem = image_format_problem(bytes.data(), bytes.size());
    if (problem == nullptr) problem = image_problem(bytes.data(), bytes.size());
    if (problem != nullptr) {
        error = what + ": " + problem;
        if (user_file && is_windows_program(bytes.data(), bytes.size()))
            error += "; to serve the image one of our programs carries, give it with --from-exe";
        return false;
    }
    attach_firmware_image(image, bytes.data(), static_cast<std::uint32_t>(bytes.size()));
    return true;
}

const char* find_problem(PeResourceFind result) {
    switch (result) {
        case PeResourceFind::not_pe:
            return "not a Windows program";
        case PeResourceFind::no_resources:
            return "a Windows program without resources";
        case PeResourceFind::not_found:
            return "carries no QVR_FIRMWARE image (ids 726, 112)";
        case PeResourceFind::damaged:
            return "its resources are damaged";
        case PeResourceFind::found:
            break;
    }
    return nullptr;
}

}  // namespace

bool load_images(const std::string& image_path, const std::string& transition_path, const std::string& from_exe,
                 bool transition_allowed, LoadedImages& images, std::string& error) {
    images.has_transition = false;
    std::string transition_what;
    if (!from_exe.empty()) {
        if (!read_file(from_exe, images.target_bytes, error)) return false;
        std::span<const std::uint8_t> file(images.target_bytes);
        std::span<const std::uint8_t> found;
        // The staged-upgrader's target image, else the recovery-upgrader's.
        PeResourceFind result = find_pe_resource(file, "QVR_FIRMWARE", 726, found);
        if (result == PeResourceFind::not_found) result = find_pe_resource(file, "QVR_FIRMWARE", 112, found);
        if (result != PeResourceFind::found) {
            error = from_exe + ": " + find_problem(result);
            return false;
        }
        if (!check_and_attach(from_exe + " (its image)", found, images.target, false, error)) return false;
        std::span<const std::uint8_t> transition;
        if (transition_allowed && transition_path.empty() &&
            find_pe_resource(file, "QVR_FIRMWARE", 319, transition) == PeResourceFind::found) {
            transition_what = from_exe + " (its transition image)";
            if (!check_and_attach(transition_what, transition, images.transition, false, error)) return false;
            images.has_transition = true;
        }
    } else {
        if (!read_file(image_path, images.target_bytes, error)) return false;
        if (!check_and_attach(image_path, images.target_bytes, images.target, true, error)) return false;
    }
    if (!transition_path.empty()) {
        if (!read_file(transition_path, images.transition_bytes, error)) return false;
        transition_what = transition_path;
        if (!check_and_attach(transition_path, images.transition_bytes, images.transition, true, error))
            return false;
        images.has_transition = true;
    }
    // A two-stage upgrade installs both images on one device: an image for
    // another product is refused here, before any device is asked.  The
    // IDs are compared byte for byte, as the catalogue's exact rows do.
    if (images.has_transition && image_product_id(images.transition.header) != image_product_id(images.target.header)) {
        error = transition_what + ": the transition image is for product ID '" +
                std::string(image_product_id(images.transition.header)) + "', the image for '" +
                std::string(image_product_id(images.target.header)) + "': both must be for the same product";
        return false;
    }
    return true;
}

}  // namespace qvr::cli
