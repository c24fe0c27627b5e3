# Cross build of the Windows deliverables, 64-bit, with the posix-threads
# MinGW-w64 compilers (they have std::thread and std::atomic).
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
set(QVR_MINGW_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER   ${QVR_MINGW_PREFIX}-gcc-posix)
set(CMAKE_CXX_COMPILER ${QVR_MINGW_PREFIX}-g++-posix)
set(CMAKE_RC_COMPILER  ${QVR_MINGW_PREFIX}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${QVR_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
