// The images a run serves: from image files, or out of one of our Windows
// programs.  They are held for the whole run.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "firmware/image.h"

namespace qvr::cli {

struct LoadedImages {
    std::vector<std::uint8_t> target_bytes;      // an image file, or the whole .exe
    std::vector<std::uint8_t> transition_bytes;  // a transition image file
    FirmwareImage target;
    FirmwareImage transition;
    bool has_transition;
};

// Reads and checks the images the options name.  False with the reason in
// error (the path and what is wrong).  Every image, from a file or out of
// a program, must carry the image magic and the 128-byte header size
// (image_format_problem) besides what the Windows programs' own check asks;
// a Windows program named as an image is refused with a pointer to
// --from-exe; a transition image must have the target image's product ID.
bool load_images(const std::string& image_path, const std::string& transition_path, const std::string& from_exe,
                 bool transition_allowed, LoadedImages& images, std::string& error);

}  // namespace qvr::cli
