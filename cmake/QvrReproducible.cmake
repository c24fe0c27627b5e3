# Flags that make two builds of the same source give the same bytes,
# whatever folder they were built in and whenever.
#
# - Paths: the compilers write the source and build folders into debug
#   information and into __FILE__; both are mapped to fixed relative names.
# - The PE header's link time stamp (and the PE checksum computed over it):
#   MinGW's linker writes the time of the link unless told not to; the
#   field is left zero.
# Anything else that reads the clock (__DATE__, __TIME__) follows
# SOURCE_DATE_EPOCH, which scripts/package sets from the commit's date.

include_guard(GLOBAL)

# The build folder may sit inside the source folder: its maps come last,
# so that they are the ones applied.  Each folder is mapped with and
# without its last slash: the compiler's working folder (the debug
# information's compilation folder) is the build folder itself, which a
# map ending in "/" does not match, so a build folder outside the source
# folder used to leave its absolute path, and with it a different build ID,
# in the Linux program.
add_compile_options(
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}=.>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_SOURCE_DIR}/=./>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}=./build>"
  "$<$<COMPILE_LANGUAGE:C,CXX>:-ffile-prefix-map=${PROJECT_BINARY_DIR}/=./build/>")
if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  add_link_options(-Wl,--no-insert-timestamp)
endif()
