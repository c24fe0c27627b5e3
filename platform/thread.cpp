#include "platform/thread.h"

#include <new>

#ifdef _WIN32
#include <windows.h>
#else
#include <pthread.h>
#endif

namespace qvr {

namespace {

// What the new thread is to run; the thread frees it.
struct ThreadStart {
    void (*procedure)(void*);
    void* argument;
};

#ifdef _WIN32
DWORD WINAPI thread_entry(LPVOID parameter) {
#else
void* thread_entry(void* parameter) {
#endif
    ThreadStart start = *static_cast<ThreadStart*>(parameter);
    delete static_cast<ThreadStart*>(parameter);
    start.procedure(start.argument);
    return 0;
}

}  // namespace

bool start_detached_thread(void (*procedure)(void*), void* argument) {
    ThreadStart* start = new (std::nothrow) ThreadStart{procedure, argument};
    if (start == nullptr) return false;
#ifdef _WIN32
    HANDLE thread = ::CreateThread(nullptr, 0, thread_entry, start, 0, nullptr);
    if (thread != nullptr) {
        ::CloseHandle(thread);
        return true;
    }
#else
    pthread_t thread;
    if (::pthread_create(&thread, nullptr, thread_entry, start) == 0) {
        ::pthread_detach(thread);
        return true;
    }
#endif
    delete start;
    return false;
}

}  // namespace qvr
