# cmake --install puts the programs and their notes under the usual prefix
# layout; cpack (scripts/package.sh) wraps the same files in Debian packages,
# one per component: the programs here, the library's runtime and
# development files in cmake/library.cmake.
include(GNUInstallDirs)
foreach(program vlorp vlorp-xm)
  if(TARGET ${program})
    install(TARGETS ${program} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT programs)
  endif()
endforeach()
install(FILES README.md assets/font-licence.txt DESTINATION ${CMAKE_INSTALL_DOCDIR}
        COMPONENT programs)
install(FILES docs/api.md DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/libvlorp-xm-dev
        COMPONENT development)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vlorp)
set(CPACK_PACKAGE_VENDOR "vlorp")
set(CPACK_PACKAGE_CONTACT "vlorp maintainers <maintainers@vlorp.invalid>")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEB_COMPONENT_INSTALL ON)
# Each component's description starts with its own summary line.
set(CPACK_COMPONENTS_ALL programs runtime development)
# Libraries the programs and the library link come from dpkg-shlibdeps.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)

# vlorp: the show and vlorp-xm (both carry the engine inside). The GL and EGL
# drivers SDL loads at run time (off-screen stills and captures included)
# are named here.
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_NAME vlorp)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_SECTION games)
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_DEPENDS "libgl1-mesa-dri, libegl1, libegl-mesa0")
# libsndfile and libsamplerate are opened on first use by vlorp-xm render
# (FLAC, Ogg, Opus, ...), so the library scan cannot see them.
# ALSA is loaded when the sound starts (without it the show plays silently).
set(CPACK_DEBIAN_PROGRAMS_PACKAGE_RECOMMENDS
    "ffmpeg, libsndfile1, libsamplerate0, libasound2, libasound2-plugins")
set(CPACK_COMPONENT_PROGRAMS_DESCRIPTION
    "two-minute real-time audiovisual show with its own XM music engine\n\
vlorp is a 640x480 OpenGL show in step with a tracker-music soundtrack, and\n\
vlorp-xm plays and renders any XM module with the same engine.")

# libvlorp-xm0: the shared library. It loads ALSA for sound when a song is
# first played (rendering needs nothing), hence a recommendation.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libvlorp-xm${VLORP_XM_SOVERSION})
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_RECOMMENDS "libasound2, libasound2-plugins")
# A shlibs file, so that packages built against it depend on this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "XM music engine library: load, play with position queries, render\n\
The vlorp XM engine as a shared library: loads XM modules, plays them on\n\
the default audio device reporting the order and row being heard, and\n\
renders them to 16-bit stereo PCM at 44 100 Hz.")

# libvlorp-xm-dev: the header, the static library, the link to the shared
# one, pkg-config and CMake package files. The static library is C++ inside,
# so linking it needs the C++ runtime's development files.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libvlorp-xm-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
    "libvlorp-xm${VLORP_XM_SOVERSION} (= ${PROJECT_VERSION}), libstdc++-12-dev | libstdc++-dev")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_RECOMMENDS "pkg-config")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
    "XM music engine library: development files\n\
The C header, the static library, pkg-config and CMake package files for\n\
libvlorp-xm, and its API reference.")
include(CPack)
