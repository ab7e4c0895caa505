# Debian packages of the kit, made by `cpack` in a build tree (scripts/packages.sh runs it for
# amd64, arm64 and armhf):
#
#   libgravel1      the nine shared libraries (versioned files and SONAME links)
#   libgravel-dev   headers, pkg-config files, the CMake package, the unversioned .so links
#   gravel-devnode  the dev node (Python) and its broker plugin, built for the package's
#                   architecture
#
# Each package is made from one install component (runtime, dev, devnode). The libraries'
# Depends come from dpkg-shlibdeps, run for the package's architecture (a cross build sets
# DEB_HOST_ARCH at cpack time, so dpkg-shlibdeps uses the target's objdump and finds the
# target's libraries in /usr/lib/<triplet>, where multiarch put them). libgravel1 carries a
# shlibs file, so a module's package built against it depends on libgravel1 (>= this version).
#
# Package version: <project version>+<YY.MM.DD.HHMMSS of the configure time>.<revision>, for
# example 1.0.0+26.12.10.194512.e294aad. It starts with the project's version, so a new release
# sorts above every build of the one before; then the configure time (which honours
# SOURCE_DATE_EPOCH, like the kit's version string), so two builds of a day sort in the order
# they were made whatever their revisions; the revision only names the build. No Debian
# revision: the packages are made from the kit's own tree (native packages).

if(NOT CMAKE_LIBRARY_ARCHITECTURE)
  message(STATUS "Debian packages: not available (no multiarch library folder known)")
  return()
endif()

set(GRAVEL_PACKAGE_MAINTAINER "gravel maintainers <maintainers@users.noreply.c-seed-7211688e.example>"
    CACHE STRING "Maintainer field of the kit's Debian packages")

# The Debian architecture of the libraries built here.
if(CMAKE_CROSSCOMPILING)
  execute_process(COMMAND dpkg-architecture -t ${CMAKE_LIBRARY_ARCHITECTURE} -q DEB_HOST_ARCH
                  OUTPUT_VARIABLE GRAVEL_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
else()
  execute_process(COMMAND dpkg --print-architecture
                  OUTPUT_VARIABLE GRAVEL_DEB_ARCH OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
if(NOT GRAVEL_DEB_ARCH)
  message(STATUS "Debian packages: not available (no dpkg-architecture; apt-get install dpkg-dev)")
  return()
endif()

if(NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib/${CMAKE_LIBRARY_ARCHITECTURE}")
  message(STATUS "Debian packages made here put the libraries in /usr/${CMAKE_INSTALL_LIBDIR}, not in "
          "Debian's multiarch folder /usr/lib/${CMAKE_LIBRARY_ARCHITECTURE}: configure with "
          "-DCMAKE_INSTALL_PREFIX=/usr (native) or -DCMAKE_INSTALL_LIBDIR=lib/${CMAKE_LIBRARY_ARCHITECTURE}, "
          "as scripts/packages.sh does")
endif()

string(TIMESTAMP _deb_time "%H%M%S" UTC)
set(GRAVEL_DEB_VERSION "${PROJECT_VERSION}+${GRAVEL_BUILD_DATE}.${_deb_time}.${GRAVEL_REVISION_EFFECTIVE}")
string(TIMESTAMP GRAVEL_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)

# /usr/share/doc/<package>/{copyright,changelog.gz} and the lintian overrides of each package.
# The overrides of all packages are kept in one file, cmake/package/lintian-overrides, with
# the reason for each; each package gets its own lines.
set(_pkgdir ${CMAKE_SOURCE_DIR}/cmake/package)
configure_file(${_pkgdir}/changelog.in ${CMAKE_BINARY_DIR}/package/changelog @ONLY)
execute_process(COMMAND gzip -9 -n -c ${CMAKE_BINARY_DIR}/package/changelog
                OUTPUT_FILE ${CMAKE_BINARY_DIR}/package/changelog.gz RESULT_VARIABLE _gz)
if(NOT _gz EQUAL 0)
  message(FATAL_ERROR "gzip of the package changelog failed")
endif()
file(STRINGS ${_pkgdir}/lintian-overrides _overrides REGEX "^[a-z0-9.+-]+: ")
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
             ${_pkgdir}/lintian-overrides ${_pkgdir}/changelog.in)

set(_components runtime dev)
set(_pkg_runtime libgravel1)
set(_pkg_dev libgravel-dev)
if(TARGET gravel-devnode-plugin)
  list(APPEND _components devnode)
  set(_pkg_devnode gravel-devnode)
endif()
foreach(comp IN LISTS _components)
  set(pkg ${_pkg_${comp}})
  install(FILES ${_pkgdir}/copyright ${CMAKE_BINARY_DIR}/package/changelog.gz
          DESTINATION share/doc/${pkg} COMPONENT ${comp})
  set(_lines "")
  foreach(line IN LISTS _overrides)
    if(line MATCHES "^${pkg}: ")
      string(APPEND _lines "${line}\n")
    endif()
  endforeach()
  if(_lines)
    file(WRITE ${CMAKE_BINARY_DIR}/package/lintian/${pkg} "${_lines}")
    install(FILES ${CMAKE_BINARY_DIR}/package/lintian/${pkg}
            DESTINATION share/lintian/overrides COMPONENT ${comp})
  endif()
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME gravel)
set(CPACK_PACKAGE_VENDOR "gravel")
set(CPACK_PACKAGE_VERSION ${GRAVEL_DEB_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL ${_components})
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${GRAVEL_DEB_VERSION})
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${GRAVEL_DEB_ARCH})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${GRAVEL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libgravel1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
# shlibs: "libgravel-base 1 libgravel1 (>= <version>)" for each library. (CPack writes one
# for every package with a versioned library; only libgravel1 has them.)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
# ldconfig runs from a trigger, once per dpkg run.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${_pkgdir}/libgravel1/triggers)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "gravel SDK for IoT edge modules - shared libraries
The nine shared libraries of the gravel kit that an edge module links:
runtime, property files, cipher and key store, configuration store,
HTTP and MQTT clients, JSON records, and the HTTP and MQTT connections
services of a node.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME libgravel-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
# What the headers include (APR, Paho's MQTTAsync.h, cJSON, curl), what the .pc files
# require (apr-1, libcrypto, libcurl, libcjson) and what the CMake package looks for
# (pkg-config, OpenSSL, Paho's CMake package).
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS
    "libgravel1 (= ${GRAVEL_DEB_VERSION}), libapr1-dev, libssl-dev, libcurl4-openssl-dev | libcurl-dev, libcjson-dev, libpaho-mqtt-dev, pkg-config | pkgconf")
set(CPACK_COMPONENT_DEV_DESCRIPTION "gravel SDK for IoT edge modules - development files
Headers (<gravel/edge_*.h>), pkg-config files (libgravel-<name>), the CMake
package (find_package(gravel), targets gravel::<name>) and the link-time
library links of the gravel kit, for building edge modules.")

set(CPACK_DEBIAN_DEVNODE_PACKAGE_NAME gravel-devnode)
set(CPACK_DEBIAN_DEVNODE_PACKAGE_SECTION devel)
# What it runs: python3 (standard library only), mosquitto (which loads the plugin) and the
# openssl program (the node's certificates).
set(CPACK_DEBIAN_DEVNODE_PACKAGE_DEPENDS "python3 (>= 3.9), mosquitto (>= 2.0), openssl")
set(CPACK_DEBIAN_DEVNODE_PACKAGE_CONTROL_EXTRA ${_pkgdir}/gravel-devnode/prerm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_DEVNODE_DESCRIPTION "local edge node for gravel module development
gravel-devnode runs on a developer's machine what an edge module meets on
a node: a mosquitto broker over TLS with a plugin that checks module
credentials as a node does, an HTTPS hub and, optionally, a local daemon
on a unix socket.")

# At cpack time (not at configure time): dpkg-shlibdeps works for the package's architecture.
set(GRAVEL_DEB_HOST_ARCH ${GRAVEL_DEB_ARCH})
configure_file(${_pkgdir}/CPackProjectConfig.cmake.in ${CMAKE_BINARY_DIR}/package/CPackProjectConfig.cmake @ONLY)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/package/CPackProjectConfig.cmake)

include(CPack)
message(STATUS "Debian packages: cpack in ${CMAKE_BINARY_DIR} makes ${GRAVEL_DEB_VERSION} for ${GRAVEL_DEB_ARCH}")
