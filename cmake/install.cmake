# cmake --install puts the programs and their notes under the usual prefix
# layout; cpack (scripts/package.sh) wraps the same files in a Debian package.
include(GNUInstallDirs)
foreach(program vlorp vlorp-xm)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
install(FILES README.md assets/font-licence.txt DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vlorp)
set(CPACK_PACKAGE_VENDOR "vlorp")
set(CPACK_PACKAGE_CONTACT "vlorp maintainers <maintainers@vlorp.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "two-minute real-time audiovisual show with its own XM music engine")
set(CPACK_PACKAGE_DESCRIPTION
    "vlorp is a 640x480 OpenGL show in step with a tracker-music soundtrack, and\n\
vlorp-xm plays and renders any XM module with the same engine.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION games)
# Libraries the programs link come from dpkg-shlibdeps; the GL and EGL drivers
# SDL loads at run time (off-screen stills and captures included) are named here.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libgl1-mesa-dri, libegl1, libegl-mesa0")
# ALSA is loaded when the sound starts; without it the show plays silently.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "ffmpeg, libasound2, libasound2-plugins")
include(CPack)
