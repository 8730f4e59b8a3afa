# Installation and packaging: both programs, their manual pages and the
# README under the prefix; CPack makes a Debian package on Linux and a ZIP of
# the .exe files for Windows.
include(GNUInstallDirs)

# On Windows the two .exe files and the README sit side by side at the top of
# the ZIP, ready to be copied into a folder of sprites.
if(WIN32)
  set(ZORPIX_INSTALL_BINDIR .)
  set(ZORPIX_INSTALL_DOCDIR .)
else()
  set(ZORPIX_INSTALL_BINDIR ${CMAKE_INSTALL_BINDIR})
  set(ZORPIX_INSTALL_DOCDIR ${CMAKE_INSTALL_DOCDIR})
endif()

install(TARGETS zorpix dezorpix RUNTIME DESTINATION ${ZORPIX_INSTALL_BINDIR})
if(NOT WIN32)
  # Debian ships manual pages gzipped (-n: no time stamp, so the package
  # builds byte for byte the same); man reads them either way.
  find_program(ZORPIX_GZIP gzip)
  set(manPages)
  foreach(page zorpix.1 dezorpix.1)
    if(ZORPIX_GZIP)
      set(built "${CMAKE_BINARY_DIR}/man/${page}")
      add_custom_command(OUTPUT "${built}.gz"
        COMMAND ${CMAKE_COMMAND} -E copy "${CMAKE_SOURCE_DIR}/man/${page}" "${built}"
        COMMAND "${ZORPIX_GZIP}" -9nf "${built}"
        DEPENDS "${CMAKE_SOURCE_DIR}/man/${page}"
        VERBATIM)
      list(APPEND manPages "${built}.gz")
    else()
      list(APPEND manPages "${CMAKE_SOURCE_DIR}/man/${page}")
    endif()
  endforeach()
  add_custom_target(man-pages ALL DEPENDS ${manPages})
  install(FILES ${manPages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()
install(FILES README.md DESTINATION ${ZORPIX_INSTALL_DOCDIR})
# The README's pictures, in the docs folder beside it where its links look.
install(DIRECTORY "${CMAKE_SOURCE_DIR}/docs/" DESTINATION ${ZORPIX_INSTALL_DOCDIR}/docs
        FILES_MATCHING PATTERN "*.png")

# The engine for other programs: the header, the static libraries and a CMake
# package, so that find_package(zorpix CONFIG) gives the target zorpix::zorpix.
# The subsystems' libraries go along because the engine's archive refers to
# them; their own headers stay private.
if(NOT WIN32)
  include(CMakePackageConfigHelpers)
  set(ZORPIX_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/zorpix)
  set_target_properties(frame PROPERTIES EXPORT_NAME frame OUTPUT_NAME zorpix_frame)
  set_target_properties(scaler PROPERTIES EXPORT_NAME scaler OUTPUT_NAME zorpix_scaler)
  set_target_properties(restorer PROPERTIES EXPORT_NAME restorer OUTPUT_NAME zorpix_restorer)
  install(TARGETS engine frame scaler restorer neighbours EXPORT zorpixTargets
          ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
  install(FILES include/zorpix/zorpix.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/zorpix)
  install(EXPORT zorpixTargets NAMESPACE zorpix:: DESTINATION ${ZORPIX_CMAKE_DIR})
  configure_package_config_file(cmake/zorpixConfig.cmake.in
    ${CMAKE_BINARY_DIR}/zorpixConfig.cmake INSTALL_DESTINATION ${ZORPIX_CMAKE_DIR})
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/zorpixConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/zorpixConfig.cmake ${CMAKE_BINARY_DIR}/zorpixConfigVersion.cmake
          DESTINATION ${ZORPIX_CMAKE_DIR})
endif()

set(CPACK_PACKAGE_NAME zorpix)
set(CPACK_PACKAGE_VENDOR "zorpix developers")
set(CPACK_PACKAGE_CONTACT "zorpix developers <zorpix@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "pixel-art doubler and smoother for sprites on a key-colour background")
set(CPACK_PACKAGE_DESCRIPTION
    "Two console programs for 24-bit BMP sprites whose transparent background is one
key colour (cyan 0 255 255 unless given on the command line). zorpix doubles
every BMP of the working folder into scaled/ with an edge-directed
interpolation that averages no pair holding the key colour; dezorpix
smooths each one at its size into restored/, leaving key-coloured
neighbours out of every average.")
set(CPACK_PACKAGE_FILE_NAME
    "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-${CMAKE_SYSTEM_NAME}-${CMAKE_SYSTEM_PROCESSOR}")
set(CPACK_STRIP_FILES ON)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME "${CPACK_PACKAGE_NAME}-${PROJECT_VERSION}-windows-x86_64")
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${CPACK_PACKAGE_CONTACT}")
  set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # The programs need nothing but the C and C++ runtimes. dpkg-shlibdeps
  # reads the exact versions off the binaries; without it (no dpkg-dev) the
  # package names them plainly.
  find_program(ZORPIX_DPKG_SHLIBDEPS dpkg-shlibdeps)
  if(ZORPIX_DPKG_SHLIBDEPS)
    set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  else()
    set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6, libstdc++6, libgcc-s1")
  endif()
endif()

include(CPack)
