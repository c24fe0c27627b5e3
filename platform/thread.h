// Threads that run on their own until the process ends.
#pragma once

namespace qvr {

// Starts procedure(argument) on a new thread with the default stack size;
// nobody waits for it (the TFTP listener's thread ends the run itself).
// False when the system cannot start a thread, so the caller can report it
// instead of the process ending without a word.
bool start_detached_thread(void (*procedure)(void*), void* argument);

}  // namespace qvr
