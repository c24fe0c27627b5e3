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

bool check_and_attach(const std::string& what, std::span<const std::uint8_t> bytes, FirmwareImage& image,
                      std::string& error) {
    if (const char* problem = image_problem(bytes.data(), bytes.size())) {
        error = what + ": " + problem;
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
        if (!check_and_attach(from_exe + " (its image)", found, images.target, error)) return false;
        std::span<const std::uint8_t> transition;
        if (transition_allowed && transition_path.empty() &&
            find_pe_resource(file, "QVR_FIRMWARE", 319, transition) == PeResourceFind::found) {
            if (!check_and_attach(from_exe + " (its transition image)", transition, images.transition, error))
                return false;
            images.has_transition = true;
        }
    } else {
        if (!read_file(image_path, images.target_bytes, error)) return false;
        if (!check_and_attach(image_path, images.target_bytes, images.target, error)) return false;
    }
    if (!transition_path.empty()) {
        if (!read_file(transition_path, images.transition_bytes, error)) return false;
        if (!check_and_attach(transition_path, images.transition_bytes, images.transition, error)) return false;
        images.has_transition = true;
    }
    return true;
}

}  // namespace qvr::cli
