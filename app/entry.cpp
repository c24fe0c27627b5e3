// The GUI entry of both deliverables.  Arguments and the show-window value
// are ignored; every path returns 0.
#include <windows.h>

#include "app/startup.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
    if (!qvr::run_startup(instance)) return 0;
    qvr::run_main_sequence();
    return 0;
}
