# The kit's version string "YY.MM.DD.<7-hex revision>", fixed when the build is configured.
# string(TIMESTAMP) honours SOURCE_DATE_EPOCH, so reproducible builds get a stable date.
string(TIMESTAMP GRAVEL_BUILD_DATE "%y.%m.%d" UTC)
set(GRAVEL_REVISION "" CACHE STRING "7-hex source revision; taken from git when empty")
if(GRAVEL_REVISION STREQUAL "")
  execute_process(COMMAND git rev-parse --short=7 HEAD
                  WORKING_DIRECTORY ${CMAKE_SOURCE_DIR}
                  OUTPUT_VARIABLE _rev OUTPUT_STRIP_TRAILING_WHITESPACE
                  RESULT_VARIABLE _rc ERROR_QUIET)
  if(NOT _rc EQUAL 0 OR NOT _rev MATCHES "^[0-9a-f]+$")
    set(_rev "0000000")
  endif()
  string(SUBSTRING "${_rev}0000000" 0 7 _rev)
  set(GRAVEL_REVISION_EFFECTIVE ${_rev})
else()
  set(GRAVEL_REVISION_EFFECTIVE ${GRAVEL_REVISION})
endif()
set(GRAVEL_KIT_VERSION "${GRAVEL_BUILD_DATE}.${GRAVEL_REVISION_EFFECTIVE}")
message(STATUS "gravel kit version ${GRAVEL_KIT_VERSION}")
