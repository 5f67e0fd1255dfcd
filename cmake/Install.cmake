# Installing and packaging. The plug-in, its companion libraries and the host program `corvane`
# go together into one private folder (LIBDIR/cvpersonpack), since the host's layout puts the
# reader-pack library under System/API/ beside the program and the program loads the plug-in
# from its own folder; bin/corvane is a link to the program there. The public headers go to
# include/CVPersonPackAPI, with a CMake package (find_package(CVPersonPackAPI), target
# CVPersonPackAPI::CVPersonPackAPI) and a pkg-config file (cvpersonpackapi) that name the
# plug-in.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(CV_INSTALL_PRIVATE_DIR ${CMAKE_INSTALL_LIBDIR}/cvpersonpack)
set(CV_INSTALL_INCLUDE_DIR ${CMAKE_INSTALL_INCLUDEDIR}/CVPersonPackAPI)
set(CV_INSTALL_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/CVPersonPackAPI)

set(CV_INSTALLED_LIBRARIES CVPersonPackAPI cvplatform borlndmm cvhostcore CVDBConAPI
    CVDataIntegrateAPI CVZipTool CVLogAPI)
set_target_properties(${CV_INSTALLED_LIBRARIES} corvane PROPERTIES INSTALL_RPATH "$ORIGIN")
set_target_properties(CVReaderPack PROPERTIES INSTALL_RPATH "$ORIGIN/../..")
target_include_directories(CVPersonPackAPI INTERFACE
  $<INSTALL_INTERFACE:${CV_INSTALL_INCLUDE_DIR}>)

install(TARGETS CVPersonPackAPI EXPORT CVPersonPackAPITargets
  LIBRARY DESTINATION ${CV_INSTALL_PRIVATE_DIR} COMPONENT runtime)
install(TARGETS cvplatform borlndmm cvhostcore CVDBConAPI CVDataIntegrateAPI CVZipTool CVLogAPI
  LIBRARY DESTINATION ${CV_INSTALL_PRIVATE_DIR} COMPONENT runtime)
install(TARGETS CVReaderPack LIBRARY DESTINATION ${CV_INSTALL_PRIVATE_DIR}/System/API
  COMPONENT runtime)
install(TARGETS corvane RUNTIME DESTINATION ${CV_INSTALL_PRIVATE_DIR} COMPONENT runtime)
file(RELATIVE_PATH CV_BIN_TO_PROGRAM ${CMAKE_INSTALL_FULL_BINDIR}
     ${CMAKE_INSTALL_FULL_LIBDIR}/cvpersonpack/corvane)
install(CODE "
  set(bin \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  file(MAKE_DIRECTORY \"\${bin}\")
  file(REMOVE \"\${bin}/corvane\")
  file(CREATE_LINK \"${CV_BIN_TO_PROGRAM}\" \"\${bin}/corvane\" SYMBOLIC)
  message(STATUS \"Installing: \${bin}/corvane -> ${CV_BIN_TO_PROGRAM}\")" COMPONENT runtime)
install(FILES ${PROJECT_SOURCE_DIR}/cmake/corvane.desktop
  DESTINATION ${CMAKE_INSTALL_DATADIR}/applications COMPONENT runtime)

install(FILES ${PROJECT_SOURCE_DIR}/include/CVPersonPackAPI.h
  ${PROJECT_SOURCE_DIR}/include/CVHostServices.h ${PROJECT_SOURCE_DIR}/include/CVCallConv.h
  ${PROJECT_SOURCE_DIR}/include/CVStandInHost.h
  DESTINATION ${CV_INSTALL_INCLUDE_DIR} COMPONENT development)

install(EXPORT CVPersonPackAPITargets NAMESPACE CVPersonPackAPI::
  DESTINATION ${CV_INSTALL_CMAKE_DIR} COMPONENT development)
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/CVPersonPackAPIConfig.cmake.in
  ${CMAKE_BINARY_DIR}/CVPersonPackAPIConfig.cmake INSTALL_DESTINATION ${CV_INSTALL_CMAKE_DIR})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/CVPersonPackAPIConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/CVPersonPackAPIConfig.cmake
  ${CMAKE_BINARY_DIR}/CVPersonPackAPIConfigVersion.cmake
  DESTINATION ${CV_INSTALL_CMAKE_DIR} COMPONENT development)

# The pkg-config file finds its prefix from where it lies, so that it holds wherever the tree
# is installed (a package, or cmake --install --prefix anywhere).
file(RELATIVE_PATH CV_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
string(REGEX REPLACE "/$" "" CV_PC_TO_PREFIX "${CV_PC_TO_PREFIX}")
configure_file(${PROJECT_SOURCE_DIR}/cmake/cvpersonpackapi.pc.in
  ${CMAKE_BINARY_DIR}/cvpersonpackapi.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/cvpersonpackapi.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT development)

# cpack -G DEB: one package with everything.
set(CPACK_PACKAGE_NAME cvpersonpackapi)
set(CPACK_PACKAGE_VENDOR "Corvane")
set(CPACK_PACKAGE_CONTACT "Corvane <corvane@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "Person package plug-in for the Corvane host, with the stand-in host corvane")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION misc)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
    ${CMAKE_BINARY_DIR}/bin ${CMAKE_BINARY_DIR}/bin/System/API)
set(CPACK_STRIP_FILES ON)
# Qt's database drivers are loaded at run time, where dpkg-shlibdeps does not look.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6sql6-sqlite")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "libqt6sql6-psql, qt6-translations-l10n, fonts-wqy-microhei")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "postgresql")
include(CPack)
