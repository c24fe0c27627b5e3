# Native build: the portable core (built once: the deliverables' differences
# are the rules records it is handed), its unit tests, and the tools and
# benchmarks that run on Linux.

option(QVR_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" ON)
option(QVR_FUZZ "Build the libFuzzer targets (needs clang)" OFF)

if(QVR_SANITIZE)
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
  add_link_options(-fsanitize=address,undefined)
endif()

find_package(Threads REQUIRED)

add_library(qvr_core STATIC ${QVR_PORTABLE_SOURCES} ${QVR_PORTABLE_RECOVERY_SOURCES})
target_include_directories(qvr_core PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(qvr_core PUBLIC Threads::Threads)

# The sample image the native tests and benchmarks serve.
set(QVR_SAMPLE_IMAGE ${CMAKE_BINARY_DIR}/firmware/sample-7.5.6a.bin)
add_custom_command(
  OUTPUT ${QVR_SAMPLE_IMAGE}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/firmware
  COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_image.py ${QVR_SAMPLE_IMAGE}
  DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_image.py
  COMMENT "Generating the sample firmware image")
add_custom_target(sample_image ALL DEPENDS ${QVR_SAMPLE_IMAGE})

enable_testing()
if(QVR_FUZZ)
  # A fuzzing tree holds the fuzz targets only; the unit tests, tools and
  # benchmarks live in the ordinary native tree.
  add_subdirectory(tests/fuzz)
  return()
endif()
add_subdirectory(tests/unit)
if(EXISTS ${PROJECT_SOURCE_DIR}/bench/CMakeLists.txt)
  add_subdirectory(bench)
endif()

# Native command-line tools over the portable code (used by the integration
# tests and benchmarks): each folder under tools/native/ is one.
file(GLOB QVR_NATIVE_TOOL_DIRS LIST_DIRECTORIES true ${PROJECT_SOURCE_DIR}/tools/native/*)
foreach(dir IN LISTS QVR_NATIVE_TOOL_DIRS)
  if(EXISTS ${dir}/CMakeLists.txt)
    get_filename_component(tool ${dir} NAME)
    add_subdirectory(${dir} ${CMAKE_BINARY_DIR}/tools/${tool})
  endif()
endforeach()
