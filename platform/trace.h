// Diagnostic trace: fixed texts written at fixed points.  Nothing depends on
// it, and it writes nothing unless the environment variable QVR_TRACE is set
// when the program starts.  Then on Windows it goes to OutputDebugStringA
// (seen by a debugger, or under Wine with WINEDEBUG=+debugstr), natively to
// standard error.
#pragma once

namespace qvr {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void trace(const char* format, ...);

}  // namespace qvr
