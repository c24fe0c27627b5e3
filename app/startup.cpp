#include "app/startup.h"

#include <windows.h>
#include <commctrl.h>

#include "app/process_state.h"
#include "common/random.h"
#include "platform/clock.h"
#include "platform/report.h"
#include "platform/socket.h"
#include "platform/trace.h"
#include "resources/resource_ids.h"

namespace qvr {

ProcessState process_state;

namespace {

LRESULT CALLBACK inert_window_procedure(HWND, UINT, WPARAM, LPARAM) { return 0; }

// The image is served straight from the locked resource; nothing but its
// header is copied.  A program without its image is unusable, so a missing
// or unloadable resource ends the run with a report instead of reading
// through a null pointer later.
void load_one_image(std::uint16_t id, FirmwareImage& image) {
    HRSRC found = ::FindResourceA(nullptr, MAKEINTRESOURCEA(id), "QVR_FIRMWARE");
    HGLOBAL loaded = found ? ::LoadResource(nullptr, found) : nullptr;
    const void* bytes = loaded ? ::LockResource(loaded) : nullptr;
    DWORD size = found ? ::SizeofResource(nullptr, found) : 0;
    if (bytes == nullptr) fatal_exit("Upgrade Failed: This program's firmware image is missing or cannot be loaded");
    if (image_problem(static_cast<const std::uint8_t*>(bytes), size) != nullptr)
        fatal_exit("Upgrade Failed: This program's firmware image is damaged and cannot be served");
    attach_firmware_image(image, static_cast<const std::uint8_t*>(bytes), size);
}

void load_firmware_image() {
    load_one_image(firmware_resource_id, process_state.image);
    if (is_staged_upgrader && process_state.upgrade_stage.load() == TRANSITION_STAGE)
        load_one_image(transition_resource_id, process_state.transition);
}

}  // namespace

bool run_startup(void* instance) {
    HINSTANCE module = static_cast<HINSTANCE>(instance);
    if (is_staged_upgrader) {
        WNDCLASSA window_class{};
        window_class.lpfnWndProc = inert_window_procedure;
        window_class.hInstance = module;
        window_class.lpszClassName = "QvrUpgrade";
        if (::RegisterClassA(&window_class) == 0) return false;
    }
    process_state.instance = instance;

    if (!start_socket_library(winsock_major, winsock_minor)) fatal_exit("Upgrade Failed: Winsock init error");

    list_local_addresses(process_state.local_addresses, local_address_capacity);
    for (std::uint32_t address : process_state.local_addresses) {
        if (address == 0) break;
        trace("Client IP = %x\n", address);
    }
    process_state.pc_address = process_state.local_addresses[0];

    seed_random(millisecond_clock());

    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_INTERNET_CLASSES | ICC_PROGRESS_CLASS};
    if (is_recovery_upgrader) controls.dwICC |= ICC_TAB_CLASSES;
    ::InitCommonControlsEx(&controls);

    load_firmware_image();
    identify_product(build_rules, process_state.image.header, process_state.product);
    return true;
}

}  // namespace qvr
