#include "platform/report.h"

#include <cstdio>
#include <cstdlib>

#include "common/deliverable.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qvr {

void fatal_error_report(const char* text, const char* title) {
    if (title == nullptr) title = fatal_error_title;
#ifdef _WIN32
    ::MessageBoxA(nullptr, text, title, MB_OK | MB_TASKMODAL);
#else
    std::fprintf(stderr, "%s: %s\n", title, text);
    std::fflush(stderr);
#endif
}

void end_run() {
    std::fflush(nullptr);
#ifdef _WIN32
    // Worker threads may still be blocked in a socket call; ending the
    // process outright is what a cancel means.
    ::ExitProcess(0);
#else
    ::_exit(0);
#endif
}

void fatal_exit(const char* text) {
    fatal_error_report(text);
    end_run();
}

void error_box(const char* text, const char* caption) {
#ifdef _WIN32
    ::MessageBoxA(nullptr, text, caption, MB_OK);
#else
    std::fprintf(stderr, "%s: %s\n", caption, text);
    std::fflush(stderr);
#endif
}

}  // namespace qvr
