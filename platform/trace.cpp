#include "platform/trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>

#ifdef _WIN32
#include <windows.h>
#endif

namespace qvr {

// Off unless QVR_TRACE is set in the environment when the program starts:
// the shipped programs write nothing, and the per-block lines cost real time
// in a transfer (a debug-string call per block is a tenth of a lock-step
// transfer's time under Wine).
void trace(const char* format, ...) {
    static const bool enabled = std::getenv("QVR_TRACE") != nullptr;
    if (!enabled) return;
    char line[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(line, sizeof line, format, args);
    va_end(args);
#ifdef _WIN32
    ::OutputDebugStringA(line);
#else
    std::fputs(line, stderr);
#endif
}

}  // namespace qvr
