// Diagnostic trace: fixed texts written at fixed points.  Nothing depends on
// it.  On Windows it goes to OutputDebugStringA (seen only by a debugger, or
// under Wine with WINEDEBUG=+debugstr); natively to standard error when the
// environment variable QVR_TRACE is set.
#pragma once

namespace qvr {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void trace(const char* format, ...);

}  // namespace qvr
