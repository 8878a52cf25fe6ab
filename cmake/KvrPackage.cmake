# Installation and the Debian package (scripts/package runs cpack -G DEB).
#
#   /opt/kvr-installer/     the application directory: KVRinstaller, kvrsim, both
#                           libraries, the raw-frame helper kvr-rawhelper (mode
#                           0750), db1_clean.mdb, help/, pic/ (mode 0555: the
#                           program keeps each user's files in the user's
#                           ~/.local/share/kvr-installer/, root's too)
#   /usr/bin/               links to KVRinstaller and kvrsim
#   /usr/share/...          desktop entry, icons, AppStream metadata, manual pages,
#                           the Ansible collection zarn.kvr (where Ansible finds
#                           collections without configuration)
set(KVR_APP_ID "org.example.KVRinstaller" CACHE STRING "AppStream and desktop-file identifier")
set(KVR_HOMEPAGE "https://kvr-installer.example.org" CACHE STRING "Project home page (AppStream, control file)")
set(KVR_MAINTAINER "KVR Installer team <kvr-installer@example.org>" CACHE STRING "Package maintainer")

set(KVR_APPDIR opt/kvr-installer)
set(KVR_PKG_SOURCE ${PROJECT_SOURCE_DIR}/packaging)
set(KVR_PKG_BUILD ${CMAKE_BINARY_DIR}/packaging)
file(MAKE_DIRECTORY ${KVR_PKG_BUILD}/links)

install(TARGETS KVRinstaller kvrsim RUNTIME DESTINATION ${KVR_APPDIR})
install(TARGETS zarnisupp zarni_utils LIBRARY DESTINATION ${KVR_APPDIR})
# Not for everybody: postinst gives it to root:kvr-installer and its capability.
install(TARGETS kvr-rawhelper RUNTIME DESTINATION ${KVR_APPDIR}
  PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE)
install(FILES ${KVR_BUNDLE_DIR}/db1_clean.mdb DESTINATION ${KVR_APPDIR})
install(DIRECTORY ${KVR_BUNDLE_DIR}/help/ DESTINATION ${KVR_APPDIR}/help)
install(DIRECTORY ${KVR_BUNDLE_DIR}/pic/ DESTINATION ${KVR_APPDIR}/pic)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/ansible/ansible_collections/zarn/kvr/
  DESTINATION usr/share/ansible/collections/ansible_collections/zarn/kvr
  PATTERN "__pycache__" EXCLUDE)

foreach(program KVRinstaller kvrsim)
  file(CREATE_LINK /${KVR_APPDIR}/${program} ${KVR_PKG_BUILD}/links/${program} SYMBOLIC)
  install(FILES ${KVR_PKG_BUILD}/links/${program} DESTINATION usr/bin)
endforeach()
install(FILES ${KVR_MAN_DIR}/KVRinstaller.1.gz ${KVR_MAN_DIR}/kvrsim.1.gz DESTINATION usr/share/man/man1)

install(FILES ${KVR_PKG_SOURCE}/kvr-installer.desktop DESTINATION usr/share/applications
  RENAME ${KVR_APP_ID}.desktop)
foreach(size 16 22 24 32 48 64 128 256)
  install(FILES ${KVR_PKG_SOURCE}/icons/${size}x${size}/kvr-installer.png
    DESTINATION usr/share/icons/hicolor/${size}x${size}/apps)
endforeach()
set(KVR_VERSION ${PROJECT_VERSION})
set(KVR_SHOT_WIDTH 800)
set(KVR_SHOT_HEIGHT 420)
configure_file(${KVR_PKG_SOURCE}/kvr-installer.metainfo.xml.in ${KVR_PKG_BUILD}/${KVR_APP_ID}.metainfo.xml @ONLY)
install(FILES ${KVR_PKG_BUILD}/${KVR_APP_ID}.metainfo.xml DESTINATION usr/share/metainfo)

# Debian's documentation files: copyright, and the changelog compressed.
configure_file(${KVR_PKG_SOURCE}/changelog.in ${KVR_PKG_BUILD}/changelog @ONLY)
add_custom_command(OUTPUT ${KVR_PKG_BUILD}/changelog.gz
  COMMAND gzip -9nkf ${KVR_PKG_BUILD}/changelog
  DEPENDS ${KVR_PKG_BUILD}/changelog)
add_custom_target(kvr_package_files ALL DEPENDS ${KVR_PKG_BUILD}/changelog.gz)
install(FILES ${KVR_PKG_SOURCE}/copyright ${KVR_PKG_BUILD}/changelog.gz DESTINATION usr/share/doc/kvr-installer)
install(FILES ${KVR_PKG_SOURCE}/lintian-overrides DESTINATION usr/share/lintian/overrides RENAME kvr-installer)

# Nobody writes the installed application directory, root included.
install(CODE "file(CHMOD \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/${KVR_APPDIR}\"
  PERMISSIONS OWNER_READ OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)")

# A package build makes only what it ships (scripts/package names the targets).
set(CMAKE_SKIP_INSTALL_ALL_DEPENDENCY ON)
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvr-installer)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KVR_MAINTAINER}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "find, configure and upgrade Zarn Adapters (KVR)")
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION "KVR Installer finds Zarn Adapters, networked audio devices, on every
Ethernet adapter of the computer using raw 802.3 LLC/SNAP frames. It lists
them, edits their wireless profiles and upgrades their firmware from .qfw
files, also unattended from the command line.
.
The package also holds kvrsim, a simulator of such devices for trying the
program and for tests.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_HOMEPAGE "${KVR_HOMEPAGE}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The window system's platform plugin is loaded, not linked; setcap gives the
# raw-frame helper its capability and addgroup makes its group at installation;
# xdg-email sends error reports.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "qt6-qpa-plugins, libcap2-bin, adduser")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "xdg-utils")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA ${KVR_PKG_SOURCE}/postinst ${KVR_PKG_SOURCE}/prerm ${KVR_PKG_SOURCE}/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION TRUE)
set(CPACK_PACKAGING_INSTALL_PREFIX /)
set(CPACK_STRIP_FILES TRUE)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/package)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/_CPack)
set(CPACK_THREADS 2)
include(CPack)
