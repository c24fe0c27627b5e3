# qvr_add_resources: the Windows resources of one upgrader executable.
#
#   qvr_add_resources(TARGET <target> DELIVERABLE <recovery|staged>
#                     IMAGE <path> [TRANSITION_IMAGE <path>])
#
# Compiles resources/<recovery|staged>-upgrader.rc into <target> with the
# given firmware image(s) embedded as resources of type QVR_FIRMWARE:
#   recovery: IMAGE as 112
#   staged:   IMAGE as 726 (target image) and, only when given,
#             TRANSITION_IMAGE as 319
# The icons are drawn at build time by tools/make_icon.py.
#
# Everything generated goes to ${CMAKE_CURRENT_BINARY_DIR}/<target>/, so
# several targets can be built from the same .rc with different images (the
# test variants):
#   icon_<id>.ico            the deliverable's icons
#   firmware_resources.rc    the image lines, included at the end of the .rc
#   resources.rc             a one-line wrapper that includes the
#                            deliverable's .rc; it is what the target
#                            compiles. A source file's OBJECT_DEPENDS is
#                            shared by every target of a directory, so each
#                            target gets its own file to hang its own
#                            dependencies (its images, its icons) on.
#
# The resource object is rebuilt when an image, an icon, the .rc, the id
# header or the manifest changes. Relative image paths are taken from
# CMAKE_CURRENT_SOURCE_DIR. An image produced by a custom command of
# another target needs add_dependencies(<target> <that target>) from the
# caller; one produced in the same directory is picked up by its path.
#
# Expects enable_language(RC) and find_package(Python3) to have been done.

include_guard(GLOBAL)

get_filename_component(_QVR_RESOURCES_ROOT "${CMAKE_CURRENT_LIST_DIR}/.." ABSOLUTE)

# Turns a path into an absolute one with forward slashes that can stand in
# a quoted .rc string (windres reads \ as an escape; rc has no escape for ").
function(_qvr_rc_path out path)
    get_filename_component(abs "${path}" ABSOLUTE BASE_DIR "${CMAKE_CURRENT_SOURCE_DIR}")
    file(TO_CMAKE_PATH "${abs}" abs)
    if(abs MATCHES "\"")
        message(FATAL_ERROR "qvr_add_resources: image path contains a double quote: ${abs}")
    endif()
    set(${out} "${abs}" PARENT_SCOPE)
endfunction()

# Writes a file only when its content changes, so that reconfiguring with
# the same images does not rebuild the resources. (file(CONFIGURE) would
# also substitute @...@ sequences inside the paths.)
function(_qvr_write_if_changed path content)
    if(EXISTS "${path}")
        file(READ "${path}" old)
        if(old STREQUAL content)
            return()
        endif()
    endif()
    file(WRITE "${path}" "${content}")
endfunction()

function(qvr_add_resources)
    cmake_parse_arguments(PARSE_ARGV 0 ARG "" "TARGET;DELIVERABLE;IMAGE;TRANSITION_IMAGE" "")
    if(ARG_UNPARSED_ARGUMENTS)
        message(FATAL_ERROR "qvr_add_resources: unexpected arguments: ${ARG_UNPARSED_ARGUMENTS}")
    endif()
    if(NOT ARG_TARGET OR NOT TARGET "${ARG_TARGET}")
        message(FATAL_ERROR "qvr_add_resources: TARGET must name an existing target (got '${ARG_TARGET}')")
    endif()
    if(NOT ARG_IMAGE)
        message(FATAL_ERROR "qvr_add_resources(${ARG_TARGET}): IMAGE is required")
    endif()
    if(NOT Python3_EXECUTABLE)
        message(FATAL_ERROR "qvr_add_resources(${ARG_TARGET}): find_package(Python3) first")
    endif()

    _qvr_rc_path(image "${ARG_IMAGE}")
    set(images "${image}")
    if(ARG_DELIVERABLE STREQUAL "recovery")
        if(DEFINED ARG_TRANSITION_IMAGE)
            message(FATAL_ERROR "qvr_add_resources(${ARG_TARGET}): the recovery-upgrader has no transition image")
        endif()
        set(icon_ids 106 165)
        set(firmware_lines "112 QVR_FIRMWARE \"${image}\"\n")
    elseif(ARG_DELIVERABLE STREQUAL "staged")
        set(icon_ids 286)
        set(firmware_lines "726 QVR_FIRMWARE \"${image}\"\n")
        if(ARG_TRANSITION_IMAGE)
            _qvr_rc_path(transition "${ARG_TRANSITION_IMAGE}")
            list(APPEND images "${transition}")
            string(APPEND firmware_lines "319 QVR_FIRMWARE \"${transition}\"\n")
        endif()
    else()
        message(FATAL_ERROR "qvr_add_resources(${ARG_TARGET}): DELIVERABLE must be recovery or staged (got '${ARG_DELIVERABLE}')")
    endif()

    set(resources_dir "${_QVR_RESOURCES_ROOT}/resources")
    set(rc_file "${resources_dir}/${ARG_DELIVERABLE}-upgrader.rc")
    set(make_icon "${_QVR_RESOURCES_ROOT}/tools/make_icon.py")
    set(gen_dir "${CMAKE_CURRENT_BINARY_DIR}/${ARG_TARGET}")
    file(MAKE_DIRECTORY "${gen_dir}")

    # Icons, one custom command per icon and target.
    set(icons "")
    foreach(id IN LISTS icon_ids)
        set(icon "${gen_dir}/icon_${id}.ico")
        add_custom_command(
            OUTPUT "${icon}"
            COMMAND "${Python3_EXECUTABLE}" "${make_icon}" --id ${id} --output "${icon}"
            DEPENDS "${make_icon}"
            COMMENT "Drawing icon ${id} for ${ARG_TARGET}"
            VERBATIM)
        list(APPEND icons "${icon}")
    endforeach()

    _qvr_write_if_changed("${gen_dir}/firmware_resources.rc"
        "// Firmware images embedded in ${ARG_TARGET}. Generated by qvr_add_resources; do not edit.\n${firmware_lines}")
    _qvr_write_if_changed("${gen_dir}/resources.rc"
        "// Resources of ${ARG_TARGET}. Generated by qvr_add_resources; do not edit.\n#include \"${ARG_DELIVERABLE}-upgrader.rc\"\n")

    set(wrapper "${gen_dir}/resources.rc")
    # The icons are listed as sources as well, which attaches their custom
    # commands to this target; they are not compiled.
    target_sources(${ARG_TARGET} PRIVATE "${wrapper}" ${icons})
    set_source_files_properties(${icons} PROPERTIES HEADER_FILE_ONLY TRUE)
    set_source_files_properties("${wrapper}" PROPERTIES
        OBJECT_DEPENDS "${rc_file};${resources_dir}/resource_ids.h;${resources_dir}/app.manifest;${gen_dir}/firmware_resources.rc;${icons};${images}")

    # windres looks up #include files and the files named in the .rc (icons,
    # manifest) in these directories, in order: the target's own generated
    # files first, so that no other target's icons or images can be found.
    target_include_directories(${ARG_TARGET} BEFORE PRIVATE
        "$<$<COMPILE_LANGUAGE:RC>:${gen_dir}>"
        "$<$<COMPILE_LANGUAGE:RC>:${resources_dir}>")
endfunction()
