# Installation: headers under include/gravel, the libraries, one pkg-config file per library
# and a CMake package (find_package(gravel) gives gravel::<name> targets). Two install
# components: runtime (the versioned libraries and their SONAME links) and dev (everything a
# module is built with); cmake/GravelPackage.cmake makes a Debian package of each.
include(CMakePackageConfigHelpers)

# pkg-config files find their prefix relative to themselves, so an installed tree can move.
file(RELATIVE_PATH PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" PC_UP "${PC_UP}")

foreach(lib IN LISTS GRAVEL_LIBRARIES)
  get_target_property(headers ${lib} GRAVEL_HEADERS)
  get_target_property(requires ${lib} GRAVEL_PKG_REQUIRES)
  install(TARGETS ${lib} EXPORT gravelTargets
          LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev
          INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
  install(FILES ${headers} DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/gravel COMPONENT dev)

  # Kit libraries this one links, as pkg-config requirements.
  get_target_property(links ${lib} LINK_LIBRARIES)
  set(pc_requires "${requires}")
  foreach(l IN LISTS links)
    if(l MATCHES "^gravel-")
      list(APPEND pc_requires lib${l})
    endif()
  endforeach()
  list(JOIN pc_requires ", " PC_REQUIRES)
  set(PC_NAME lib${lib})
  set(PC_LIB ${lib})
  configure_file(${CMAKE_SOURCE_DIR}/cmake/gravel.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/lib${lib}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/lib${lib}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
endforeach()

install(EXPORT gravelTargets NAMESPACE gravel:: DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gravel COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/gravelConfig.cmake.in
  ${CMAKE_BINARY_DIR}/gravelConfig.cmake INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gravel)
write_basic_package_version_file(${CMAKE_BINARY_DIR}/gravelConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/gravelConfig.cmake ${CMAKE_BINARY_DIR}/gravelConfigVersion.cmake
        DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/gravel COMPONENT dev)
