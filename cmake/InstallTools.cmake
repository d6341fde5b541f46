# What `cmake --install` puts under a prefix and `cpack -G DEB` packages: the
# release engineers' tools in bin, their manual pages, and under
# share/hotfix-tools what make-hotfix builds hotfix.exe from (the program's
# sources, resources and CMake files, laid out as in this repository).
include(GNUInstallDirs)

set(HOTFIX_DATA_DIR "${CMAKE_INSTALL_DATADIR}/hotfix-tools")

foreach(tool make-patch inspect-patch)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()

# make-hotfix finds the sources relative to itself, so the installed tree
# can be moved (a package unpacked anywhere, a prefix given at install time).
set(HOTFIX_TOOLS_VERSION "${PROJECT_VERSION}")
file(RELATIVE_PATH HOTFIX_DATA_FROM_BIN "/${CMAKE_INSTALL_BINDIR}" "/${HOTFIX_DATA_DIR}")
configure_file(${CMAKE_SOURCE_DIR}/scripts/make-hotfix.sh ${CMAKE_BINARY_DIR}/installed/make-hotfix @ONLY)
install(PROGRAMS ${CMAKE_BINARY_DIR}/installed/make-hotfix DESTINATION ${CMAKE_INSTALL_BINDIR})

install(FILES ${CMAKE_SOURCE_DIR}/CMakeLists.txt DESTINATION ${HOTFIX_DATA_DIR})
install(DIRECTORY ${CMAKE_SOURCE_DIR}/app ${CMAKE_SOURCE_DIR}/messages ${CMAKE_SOURCE_DIR}/payload
  ${CMAKE_SOURCE_DIR}/install ${CMAKE_SOURCE_DIR}/platform ${CMAKE_SOURCE_DIR}/resources ${CMAKE_SOURCE_DIR}/cmake
  DESTINATION ${HOTFIX_DATA_DIR})
install(PROGRAMS ${CMAKE_SOURCE_DIR}/scripts/describe-patch.sh ${CMAKE_SOURCE_DIR}/scripts/deploy-text.sh
  DESTINATION ${HOTFIX_DATA_DIR}/scripts)

file(GLOB HOTFIX_MAN_PAGES CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/docs/man/*.1)
install(FILES ${HOTFIX_MAN_PAGES} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
install(FILES ${CMAKE_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/hotfix-tools)
install(DIRECTORY ${CMAKE_SOURCE_DIR}/docs/ci/ DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/hotfix-tools/examples)

# The Debian package. Depends: the libraries make-patch links (found by
# dpkg-shlibdeps), what make-hotfix runs (msitools, cmake, the MinGW cross
# compiler and binutils); signing is optional.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME hotfix-tools)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_CONTACT "Korvanta release engineering <release@korvanta.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "build Windows Installer patches and hotfix.exe on Linux")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "make-patch makes a Windows Installer patch (.msp) from pairs of product
 packages; make-hotfix builds hotfix.exe, the self-contained hotfix installer, around
 it, with its description block and deploy.txt for administrators.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION devel)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS
  "cmake (>= 3.25), make, g++-mingw-w64-x86-64, binutils-mingw-w64-x86-64, msitools, coreutils")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "osslsigncode, openssl")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
# The host preset builds with debugging information; the package carries none.
set(CPACK_STRIP_FILES TRUE)
set(CPACK_SOURCE_GENERATOR "")
include(CPack)
