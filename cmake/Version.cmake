# Product version and build identifier, generated into lensbridge_version.h.
set(LB_GENERATED_DIR ${CMAKE_BINARY_DIR}/generated)

execute_process(
  COMMAND git rev-parse --short=8 HEAD
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE LB_BUILD_ID
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
if(NOT LB_BUILD_ID)
  set(LB_BUILD_ID "dev")
endif()

# The host reads a plug-in's VERSION.build as a number, so the plug-in carries the count of
# commits behind the build (0 outside a git checkout); the identifier above names the commit.
execute_process(
  COMMAND git rev-list --count HEAD
  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
  OUTPUT_VARIABLE LB_BUILD_NUMBER
  OUTPUT_STRIP_TRAILING_WHITESPACE
  ERROR_QUIET)
if(NOT LB_BUILD_NUMBER MATCHES "^[0-9]+$")
  set(LB_BUILD_NUMBER 0)
endif()

set(LB_VERSION_MAJOR ${PROJECT_VERSION_MAJOR})
set(LB_VERSION_MINOR ${PROJECT_VERSION_MINOR})
set(LB_VERSION_PATCH ${PROJECT_VERSION_PATCH})
set(LB_VERSION_STRING "${PROJECT_VERSION}")

configure_file(${CMAKE_SOURCE_DIR}/cmake/lensbridge_version.h.in
               ${LB_GENERATED_DIR}/lensbridge_version.h @ONLY)
# The version block the resource scripts of the exes and modules include.
configure_file(${CMAKE_SOURCE_DIR}/cmake/lensbridge_version.rc
               ${LB_GENERATED_DIR}/lensbridge_version.rc COPYONLY)
