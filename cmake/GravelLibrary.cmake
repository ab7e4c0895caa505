# Common compile settings and the one function that defines a kit library.

set(GRAVEL_WARNINGS -Wall -Wextra -Wpedantic -Wshadow -Wformat=2 -Wcast-align -Wvla)
if(GRAVEL_WERROR)
  list(APPEND GRAVEL_WARNINGS -Werror)
endif()

if(GRAVEL_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=undefined -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
elseif(GRAVEL_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT GRAVEL_SANITIZE STREQUAL "")
  message(FATAL_ERROR "GRAVEL_SANITIZE must be empty, address or thread")
endif()

# Fuzzing: the kit's code carries libFuzzer's coverage instrumentation and ASan+UBSan; only the
# fuzz target executables link libFuzzer itself (-fsanitize=fuzzer, fuzz/CMakeLists.txt).
if(GRAVEL_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "GRAVEL_FUZZ needs clang (the fuzz preset sets it; scripts/bootstrap.sh --fuzz installs it)")
  endif()
  if(NOT GRAVEL_SANITIZE STREQUAL "")
    message(FATAL_ERROR "GRAVEL_FUZZ brings its own sanitizers; leave GRAVEL_SANITIZE empty")
  endif()
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=undefined
                      -fno-omit-frame-pointer)
  add_link_options(-fsanitize=address,undefined)
endif()

# 64-bit file offsets, inode numbers and directory positions on 32-bit targets (armhf), as
# APR's own file calls have: there a plain stat, fstat or readdir fails with EOVERFLOW on a
# file over 2 GiB, a 64-bit inode number or a 64-bit directory offset. Nothing changes on
# 64-bit targets, and no public header uses off_t or struct stat. time_t stays as the platform
# has it (32-bit on armhf, as in Debian 12's armhf libraries the kit links).
add_compile_definitions(_FILE_OFFSET_BITS=64)

# __FILE__ in log lines is relative to the source tree, whatever the build machine.
add_compile_options(-fmacro-prefix-map=${CMAKE_SOURCE_DIR}/=)

# gravel_strict_c99(<target>)
#   Compiles the target's C files as ISO C99: -std=c99 without GNU extensions, and any pedantic
#   warning fails the build whatever GRAVEL_WERROR says. The C files of the tests prove so that
#   the public headers are C99.
function(gravel_strict_c99 target)
  set_target_properties(${target} PROPERTIES C_STANDARD 99 C_STANDARD_REQUIRED ON C_EXTENSIONS OFF)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:C>:-Wpedantic> $<$<COMPILE_LANGUAGE:C>:-Werror>)
endfunction()

set(GRAVEL_INTERNAL_INCLUDE ${CMAKE_SOURCE_DIR}/code/common/base/internal)
set(GRAVEL_LIBRARIES "" CACHE INTERNAL "")

# gravel_add_library(<short name> [LINKS targets...] [PKG_REQUIRES modules...]
#                    [TEST_ENVIRONMENT VAR=value...])
#   Builds libgravel-<short name> from src/*.cpp of the calling folder, exports exactly the
#   symbols listed in the folder's exports.txt (a version script keeps the rest local),
#   and, with tests on, one GoogleTest executable from test/*.cpp and test/*.c linked
#   against the library's objects so internals are testable. The test/*.c files are the
#   library's C header probes, compiled as strict C99; tests/CMakeLists.txt also links them
#   into one plain C program against the shared libraries. TEST_ENVIRONMENT is set for each
#   of the library's tests.
function(gravel_add_library name)
  cmake_parse_arguments(ARG "" "" "LINKS;PKG_REQUIRES;TEST_LINKS;TEST_ENVIRONMENT" ${ARGN})
  set(objs gravel-${name}-objects)
  set(lib gravel-${name})
  file(GLOB srcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)
  add_library(${objs} OBJECT ${srcs})
  target_compile_options(${objs} PRIVATE ${GRAVEL_WARNINGS})
  target_compile_definitions(${objs} PRIVATE EDGE_BUILDING=1)
  target_include_directories(${objs}
    PUBLIC $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src ${GRAVEL_INTERNAL_INCLUDE})
  target_link_libraries(${objs} PUBLIC ${ARG_LINKS})

  set(symbols ${CMAKE_CURRENT_SOURCE_DIR}/exports.txt)
  set(script ${CMAKE_CURRENT_BINARY_DIR}/lib${lib}.map)
  file(STRINGS ${symbols} syms REGEX "^[A-Za-z_]")
  set(body "{\n  global:\n")
  foreach(s IN LISTS syms)
    string(APPEND body "    ${s};\n")
  endforeach()
  string(APPEND body "  local: *;\n};\n")
  file(GENERATE OUTPUT ${script} CONTENT "${body}")
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${symbols})

  add_library(${lib} SHARED $<TARGET_OBJECTS:${objs}>)
  add_library(gravel::${name} ALIAS ${lib})
  target_include_directories(${lib} PUBLIC
    $<BUILD_INTERFACE:${CMAKE_CURRENT_SOURCE_DIR}/include>
    $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
  target_link_libraries(${lib} PUBLIC ${ARG_LINKS})
  # clang leaves the sanitizer runtimes out of shared libraries (the executable brings them), so
  # a fuzz build cannot ask for every symbol to be resolved at the library's link.
  if(NOT GRAVEL_FUZZ)
    target_link_options(${lib} PRIVATE -Wl,--no-undefined)
  endif()
  target_link_options(${lib} PRIVATE -Wl,--version-script=${script})
  # Installed libraries find the kit's other libraries beside them, wherever the tree goes:
  # a module's own run path reaches only the libraries it links directly.
  set_target_properties(${lib} PROPERTIES
    INSTALL_RPATH "$ORIGIN"
    VERSION ${PROJECT_VERSION} SOVERSION ${PROJECT_VERSION_MAJOR}
    LINK_DEPENDS ${script}
    EXPORT_NAME ${name})
  set_property(TARGET ${lib} PROPERTY GRAVEL_EXPORTS ${symbols})
  set_property(TARGET ${lib} PROPERTY GRAVEL_PKG_REQUIRES "${ARG_PKG_REQUIRES}")
  file(GLOB headers CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/include/gravel/*.h)
  set_property(TARGET ${lib} PROPERTY GRAVEL_HEADERS "${headers}")
  set(GRAVEL_LIBRARIES ${GRAVEL_LIBRARIES} ${lib} CACHE INTERNAL "")

  if(GRAVEL_TESTS AND EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/test)
    file(GLOB tsrcs CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test/*.cpp ${CMAKE_CURRENT_SOURCE_DIR}/test/*.c)
    file(GLOB probes CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/test/*.c)
    set_property(TARGET ${lib} PROPERTY GRAVEL_C_PROBES "${probes}")
    if(tsrcs)
      set(texe ${lib}-tests)
      add_executable(${texe} ${tsrcs})
      target_compile_options(${texe} PRIVATE ${GRAVEL_WARNINGS})
      gravel_strict_c99(${texe})
      target_include_directories(${texe} PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src
        ${GRAVEL_INTERNAL_INCLUDE} ${CMAKE_SOURCE_DIR}/tests/support)
      target_link_libraries(${texe} PRIVATE ${objs} ${ARG_TEST_LINKS} gravel-test-support GTest::gtest_main)
      target_compile_definitions(${texe} PRIVATE GRAVEL_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
      set(test_env "")
      if(ARG_TEST_ENVIRONMENT)
        set(test_env ENVIRONMENT "${ARG_TEST_ENVIRONMENT}")
      endif()
      gtest_discover_tests(${texe} DISCOVERY_TIMEOUT 60 PROPERTIES TIMEOUT 300 LABELS unit ${test_env})
    endif()
  endif()
endfunction()
