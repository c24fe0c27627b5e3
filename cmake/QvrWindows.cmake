# Cross build of the two Windows programs with MinGW-w64.

enable_language(RC)
include(${CMAKE_CURRENT_LIST_DIR}/QvrResources.cmake)

set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)

set(QVR_FIRMWARE_IMAGE "" CACHE FILEPATH
    "Firmware image to embed in both programs (default: the generated sample image)")
set(QVR_TRANSITION_IMAGE "" CACHE FILEPATH
    "Transition image for the staged-upgrader; when set, that build starts in the transition stage")
option(QVR_BUILD_TEST_VARIANTS "Also build the program variants the end-to-end tests use" ON)

get_property(QVR_WINDOWS_SOURCES GLOBAL PROPERTY QVR_WINDOWS_SOURCES)
get_property(QVR_WINDOWS_RECOVERY_SOURCES GLOBAL PROPERTY QVR_WINDOWS_RECOVERY_SOURCES)

# qvr_image(<output> [ARGS...]): a generated image under firmware/.
function(qvr_generated_image output)
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/firmware
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_image.py ${output} ${ARGN}
    DEPENDS ${PROJECT_SOURCE_DIR}/tools/make_image.py
    COMMENT "Generating firmware image ${output}")
endfunction()

set(QVR_SAMPLE_IMAGE ${CMAKE_BINARY_DIR}/firmware/sample-7.5.6a.bin)
qvr_generated_image(${QVR_SAMPLE_IMAGE})
if(QVR_FIRMWARE_IMAGE)
  get_filename_component(QVR_IMAGE ${QVR_FIRMWARE_IMAGE} ABSOLUTE)
else()
  set(QVR_IMAGE ${QVR_SAMPLE_IMAGE})
endif()

# qvr_add_deliverable(<name> <recovery|staged> <image> [TRANSITION <image>] [DIRECTORY <subdir of bin>])
function(qvr_add_deliverable name deliverable image)
  cmake_parse_arguments(ARG "" "TRANSITION;DIRECTORY" "" ${ARGN})
  set(sources ${QVR_PORTABLE_SOURCES} ${QVR_WINDOWS_SOURCES})
  if(deliverable STREQUAL "recovery")
    list(APPEND sources ${QVR_PORTABLE_RECOVERY_SOURCES} ${QVR_WINDOWS_RECOVERY_SOURCES})
  endif()
  add_executable(${name} WIN32 ${sources})
  target_include_directories(${name} PRIVATE ${PROJECT_SOURCE_DIR})
  qvr_deliverable_definitions(${name} ${deliverable})
  target_compile_definitions(${name} PRIVATE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0601)
  if(ARG_TRANSITION)
    target_compile_definitions(${name} PRIVATE QVR_INITIAL_UPGRADE_STAGE=0)
  endif()
  target_link_options(${name} PRIVATE -static -mwindows)
  target_link_libraries(${name} PRIVATE ws2_32 comctl32 winmm)
  if(ARG_DIRECTORY)
    set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin/${ARG_DIRECTORY})
  endif()

  # Refuse an image that cannot be embedded, before anything is linked.
  set(images ${image})
  if(ARG_TRANSITION)
    list(APPEND images ${ARG_TRANSITION})
  endif()
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.image-checked)
  set(checks "")
  foreach(img IN LISTS images)
    list(APPEND checks COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tools/make_image.py --check ${img})
  endforeach()
  add_custom_command(OUTPUT ${stamp} ${checks} COMMAND ${CMAKE_COMMAND} -E touch ${stamp}
                     DEPENDS ${images} ${PROJECT_SOURCE_DIR}/tools/make_image.py
                     COMMENT "Checking the firmware image(s) of ${name}")
  add_custom_target(${name}_image_check DEPENDS ${stamp})
  add_dependencies(${name} ${name}_image_check)

  if(ARG_TRANSITION)
    qvr_add_resources(TARGET ${name} DELIVERABLE ${deliverable} IMAGE ${image} TRANSITION_IMAGE ${ARG_TRANSITION})
  else()
    qvr_add_resources(TARGET ${name} DELIVERABLE ${deliverable} IMAGE ${image})
  endif()
endfunction()

qvr_add_deliverable(recovery-upgrader recovery ${QVR_IMAGE})
if(QVR_TRANSITION_IMAGE)
  get_filename_component(QVR_TRANSITION ${QVR_TRANSITION_IMAGE} ABSOLUTE)
  qvr_add_deliverable(staged-upgrader staged ${QVR_IMAGE} TRANSITION ${QVR_TRANSITION})
else()
  qvr_add_deliverable(staged-upgrader staged ${QVR_IMAGE})
endif()

if(QVR_BUILD_TEST_VARIANTS)
  # Programs the end-to-end tests need beside the shipped pair: an image whose
  # product ID no catalogue row names, a transition-stage staged build and a
  # phone-family recovery build.
  set(odm ${CMAKE_BINARY_DIR}/firmware/odm-1.2.3.bin)
  qvr_generated_image(${odm} --product-id NoSuchP --version 1.2.3 --size 70000 --seed odm)
  qvr_add_deliverable(recovery-upgrader-odm recovery ${odm} DIRECTORY variants)
  qvr_add_deliverable(staged-upgrader-odm staged ${odm} DIRECTORY variants)
  set(transition ${CMAKE_BINARY_DIR}/firmware/transition-7.0.0.bin)
  qvr_generated_image(${transition} --version 7.0.0 --size 100000 --seed transition)
  qvr_add_deliverable(staged-upgrader-transition staged ${QVR_IMAGE} TRANSITION ${transition} DIRECTORY variants)
  # A phone-family product (its recovery dialog asks for the phone's screen
  # message instead of the Status LED pattern).
  set(phone ${CMAKE_BINARY_DIR}/firmware/phone-7.6.1.bin)
  qvr_generated_image(${phone} --product-id qUoReL9 --version 7.6.1 --size 70000 --seed phone)
  qvr_add_deliverable(recovery-upgrader-phone recovery ${phone} DIRECTORY variants)
endif()

if(EXISTS ${PROJECT_SOURCE_DIR}/tools/uidriver/CMakeLists.txt)
  add_subdirectory(tools/uidriver)
endif()
add_subdirectory(tools/tftp_floor)
