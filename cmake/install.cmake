# What `cmake --install` lays out under the prefix, in the GNU directories:
#
#   include/veilcastnet.h, include/veilcastnet.hpp     the C interface and its C++ layer
#   include/veilcastnet_asio.hpp                        the adapter to standalone asio
#   lib/libveilcastnet32.so.2.0.0 (.so.2, .so)          the shared library (Linux)
#   lib/libveilcastnet32.a                              the static library (Linux)
#   bin/veilcastnet32.dll, lib/libveilcastnet32.dll.a   the DLL and its import library (Windows)
#   lib/veilcastnet32.def                               the ordinals, for other linkers (Windows)
#   bin/vctool                                          the command-line program
#   bin/vcgate                                          the gateway
#   lib/pkgconfig/veilcastnet.pc                        for pkg-config
#   lib/cmake/Veilcastnet/                              for find_package(Veilcastnet)
#
# Both the pkg-config file and the CMake package find the rest relative to
# where they lie, so an installed tree can be moved or unpacked anywhere.
include(CMakePackageConfigHelpers)

set(VC_CMAKE_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Veilcastnet)

install(FILES include/veilcastnet.h include/veilcastnet.hpp include/veilcastnet_asio.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})

# The shared library is what hosts link: Veilcastnet::veilcastnet.
set_target_properties(veilcastnet32 PROPERTIES EXPORT_NAME veilcastnet)
install(TARGETS veilcastnet32 EXPORT VeilcastnetTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})

if(WIN32)
  # GNU linkers take the import library; the .def lets any other toolchain
  # make its own. Either way the calls go by ordinal, as the DLL has no names.
  install(FILES ${VC_DEF_FILE} DESTINATION ${CMAKE_INSTALL_LIBDIR})
else()
  # The static library carries the same eleven operations for hosts that
  # want no shared object: Veilcastnet::veilcastnet_static.
  set_target_properties(veilcastnet_static PROPERTIES EXPORT_NAME veilcastnet_static)
  install(TARGETS veilcastnet_static EXPORT VeilcastnetTargets
    ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

if(TARGET vctool)
  install(TARGETS vctool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
if(TARGET vcgate)
  install(TARGETS vcgate RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT VeilcastnetTargets NAMESPACE Veilcastnet::
  FILE VeilcastnetTargets.cmake DESTINATION ${VC_CMAKE_PACKAGE_DIR})
# The config file defines Veilcastnet::asio itself, where it finds asio on
# the machine that uses the package: the installed tree names no path of
# the machine that built it.
configure_package_config_file(cmake/VeilcastnetConfig.cmake.in
  ${PROJECT_BINARY_DIR}/VeilcastnetConfig.cmake
  INSTALL_DESTINATION ${VC_CMAKE_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR)
# A new major version changes the interface (and the shared library's
# SONAME), so only the same major version satisfies a request.
write_basic_package_version_file(${PROJECT_BINARY_DIR}/VeilcastnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/VeilcastnetConfig.cmake
  ${PROJECT_BINARY_DIR}/VeilcastnetConfigVersion.cmake
  DESTINATION ${VC_CMAKE_PACKAGE_DIR})

# pkg-config: the prefix is found from the .pc file's own directory. A
# static link also needs the C++ runtime the library is written against.
if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}" OR IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VC_PC_PREFIX ${CMAKE_INSTALL_PREFIX})
  set(VC_PC_LIBDIR ${CMAKE_INSTALL_FULL_LIBDIR})
  set(VC_PC_INCLUDEDIR ${CMAKE_INSTALL_FULL_INCLUDEDIR})
else()
  file(RELATIVE_PATH VC_PC_UP "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
  string(REGEX REPLACE "/$" "" VC_PC_UP "${VC_PC_UP}")
  set(VC_PC_PREFIX "\${pcfiledir}/${VC_PC_UP}")
  set(VC_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
  set(VC_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(VC_PC_LIBS_PRIVATE "-lstdc++")
if(NOT WIN32 AND NOT VC_DLOPEN_IN_LIBC)
  string(APPEND VC_PC_LIBS_PRIVATE " -l${CMAKE_DL_LIBS}")
endif()
configure_file(cmake/veilcastnet.pc.in ${PROJECT_BINARY_DIR}/veilcastnet.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/veilcastnet.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
