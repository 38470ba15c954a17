# `cmake --install`: the library, its header, the kzvideo tool, a CMake package
# (find_package(kzvideo) -> kzvideo::kzvideo) and kzvideo.pc; `cpack -G DEB` packs the same.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KZ_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kzvideo)

# Installed programs find the libraries beside them, wherever the prefix is.
file(RELATIVE_PATH KZ_BIN_TO_LIB /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
set_target_properties(kzvideo kzwin PROPERTIES INSTALL_RPATH "$ORIGIN")
install(TARGETS kzvideo kzwin EXPORT kzvideoTargets
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
        INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/kzvideo.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
# The Win32 subset's headers, for programs that use the platform layer's own functions.
install(DIRECTORY ${PROJECT_SOURCE_DIR}/platform/include/
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/kzvideo/platform)
if(TARGET kzvideo_tool)
  set_target_properties(kzvideo_tool PROPERTIES INSTALL_RPATH "$ORIGIN/${KZ_BIN_TO_LIB}")
  install(TARGETS kzvideo_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()

install(EXPORT kzvideoTargets NAMESPACE kzvideo:: DESTINATION ${KZ_CMAKE_DIR})
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/kzvideoConfig.cmake.in
                              ${PROJECT_BINARY_DIR}/kzvideoConfig.cmake
                              INSTALL_DESTINATION ${KZ_CMAKE_DIR})
write_basic_package_version_file(${PROJECT_BINARY_DIR}/kzvideoConfigVersion.cmake
                                 COMPATIBILITY SameMajorVersion)
install(FILES ${PROJECT_BINARY_DIR}/kzvideoConfig.cmake
              ${PROJECT_BINARY_DIR}/kzvideoConfigVersion.cmake
        DESTINATION ${KZ_CMAKE_DIR})

# The .pc file finds its prefix from where it lies, so the package can move.
file(RELATIVE_PATH KZ_PC_TO_PREFIX /${CMAKE_INSTALL_LIBDIR}/pkgconfig /)
string(REGEX REPLACE "/$" "" KZ_PC_TO_PREFIX "${KZ_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/kzvideo.pc.in ${PROJECT_BINARY_DIR}/kzvideo.pc @ONLY)
install(FILES ${PROJECT_BINARY_DIR}/kzvideo.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

set(CPACK_PACKAGE_NAME kzvideo)
set(CPACK_PACKAGE_VENDOR "KZVIDEO")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Video library for programs, with the kzvideo tool")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "KZVIDEO maintainers <kzvideo@localhost>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# The dependencies (FFmpeg, SDL2) are read from the libraries themselves where Debian's
# tool for it is there.
find_program(KZ_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KZ_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
endif()
include(CPack)
