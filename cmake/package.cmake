# pkg-config file and CMake package for hosts that build against the plug-in.
# Both give the C header's directory and the plug-in's directory; a host
# loads the plug-in with dlopen, so nothing is linked.
include(CMakePackageConfigHelpers)

set(AAC_PC_PLUGINDIR "\${libdir}")
file(RELATIVE_PATH AAC_PLUGIN_DIR_FROM_LIBDIR "/${CMAKE_INSTALL_LIBDIR}" "/${AAC_PLUGIN_INSTALL_DIR}")
if(AAC_PLUGIN_DIR_FROM_LIBDIR)
  set(AAC_PC_PLUGINDIR "\${libdir}/${AAC_PLUGIN_DIR_FROM_LIBDIR}")
endif()
# The prefix relative to the .pc file, so an installed tree can be moved.
file(RELATIVE_PATH AAC_PC_PREFIX_FROM_PCDIR "/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/")
string(REGEX REPLACE "/$" "" AAC_PC_PREFIX_FROM_PCDIR "${AAC_PC_PREFIX_FROM_PCDIR}")
configure_file(cmake/zoraac.pc.in zoraac.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zoraac.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

configure_package_config_file(cmake/zoraacConfig.cmake.in zoraacConfig.cmake
  INSTALL_DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zoraac
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR AAC_PLUGIN_INSTALL_DIR)
write_basic_package_version_file(zoraacConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/zoraacConfig.cmake ${CMAKE_CURRENT_BINARY_DIR}/zoraacConfigVersion.cmake
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/cmake/zoraac)
