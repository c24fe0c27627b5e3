# Source registration shared by the subsystem folders.
#
# Each folder lists its files with one of these; the top level builds the
# portable files natively (once, into the core library) and into both .exe
# files, and the Windows-only files into the .exe files only.

function(_qvr_append property)
  set(files "")
  foreach(f IN LISTS ARGN)
    if(IS_ABSOLUTE "${f}")
      list(APPEND files "${f}")
    else()
      list(APPEND files "${CMAKE_CURRENT_SOURCE_DIR}/${f}")
    endif()
  endforeach()
  set_property(GLOBAL APPEND PROPERTY ${property} ${files})
endfunction()

# Portable code: no Windows header; built natively and into both programs.
function(qvr_portable)
  _qvr_append(QVR_PORTABLE_SOURCES ${ARGN})
endfunction()

# Portable code of the recovery-upgrader alone (the multicast recovery):
# built natively into the core, and into that program only.
function(qvr_portable_recovery)
  _qvr_append(QVR_PORTABLE_RECOVERY_SOURCES ${ARGN})
endfunction()

# Windows-only code of both programs (entry, dialogs, message pumps).
function(qvr_windows)
  _qvr_append(QVR_WINDOWS_SOURCES ${ARGN})
endfunction()

# Windows-only code of the recovery-upgrader alone.
function(qvr_windows_recovery)
  _qvr_append(QVR_WINDOWS_RECOVERY_SOURCES ${ARGN})
endfunction()

# Native unit test sources (GoogleTest), built into both test programs.
function(qvr_unit_tests)
  _qvr_append(QVR_UNIT_TEST_SOURCES ${ARGN})
endfunction()

# Native unit tests of the recovery-upgrader's own code.
function(qvr_unit_tests_recovery)
  _qvr_append(QVR_UNIT_TEST_RECOVERY_SOURCES ${ARGN})
endfunction()

# Compile definitions that select a deliverable's rules at build time
# (common/build_deliverable.h): for the Windows programs, and the native
# tools and tests that stand in for one of them.
function(qvr_deliverable_definitions target deliverable)
  if(deliverable STREQUAL "recovery")
    target_compile_definitions(${target} PRIVATE QVR_RECOVERY_UPGRADER=1)
  elseif(deliverable STREQUAL "staged")
    target_compile_definitions(${target} PRIVATE QVR_STAGED_UPGRADER=1)
  else()
    message(FATAL_ERROR "unknown deliverable '${deliverable}'")
  endif()
endfunction()
