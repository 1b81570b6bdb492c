# The engine as a library for other programs: libvlorp-xm, static and shared,
# with one public header (include/vlorp/xm.h). Both are made of the engine's
# own objects (vlorp_music, which the programs and tests link directly):
# compiled position-independent with hidden symbols, so that the shared
# library exports the vlorp_xm_ calls and nothing else.
include(GNUInstallDirs)
find_package(Threads REQUIRED)

target_sources(vlorp_music PRIVATE ${CMAKE_SOURCE_DIR}/music/api.cpp)
target_include_directories(vlorp_music PUBLIC ${CMAKE_SOURCE_DIR}/include)
set_target_properties(vlorp_music PROPERTIES POSITION_INDEPENDENT_CODE ON
  CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
if(WIN32)
  # The DLL exports exactly the calls marked in the header.
  target_compile_definitions(vlorp_music PRIVATE VLORP_XM_SHARED_BUILD)
endif()

# The library's version and ABI number come from the header.
file(STRINGS ${CMAKE_SOURCE_DIR}/include/vlorp/xm.h vlorp_xm_version_lines
     REGEX "^#define VLORP_XM_VERSION_(MAJOR|MINOR|PATCH) ")
foreach(line ${vlorp_xm_version_lines})
  string(REGEX MATCH "VLORP_XM_VERSION_([A-Z]+) ([0-9]+)" _ "${line}")
  set(vlorp_xm_${CMAKE_MATCH_1} ${CMAKE_MATCH_2})
endforeach()
set(VLORP_XM_LIB_VERSION ${vlorp_xm_MAJOR}.${vlorp_xm_MINOR}.${vlorp_xm_PATCH})
set(VLORP_XM_SOVERSION ${vlorp_xm_MAJOR})

# What a program linking the static library needs besides it.
if(WIN32)
  set(vlorp_xm_private_libs winmm)
  set(vlorp_xm_private_pc "-lstdc++ -lwinmm -lpthread")
else()
  set(vlorp_xm_private_libs ${CMAKE_DL_LIBS} m)
  set(vlorp_xm_private_pc "-lstdc++ -lm -lpthread")
  if(CMAKE_DL_LIBS)
    string(APPEND vlorp_xm_private_pc " -l${CMAKE_DL_LIBS}")
  endif()
endif()

add_library(vlorp_xm_static STATIC $<TARGET_OBJECTS:vlorp_music>)
add_library(vlorp_xm_shared SHARED $<TARGET_OBJECTS:vlorp_music>)
foreach(lib vlorp_xm_static vlorp_xm_shared)
  target_include_directories(${lib} INTERFACE
    $<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include> $<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>)
endforeach()
set_target_properties(vlorp_xm_static PROPERTIES OUTPUT_NAME vlorp-xm EXPORT_NAME xm_static
  LINKER_LANGUAGE CXX)
target_link_libraries(vlorp_xm_static INTERFACE Threads::Threads ${vlorp_xm_private_libs}
  $<$<NOT:$<LINK_LANGUAGE:CXX>>:stdc++>)
set_target_properties(vlorp_xm_shared PROPERTIES OUTPUT_NAME vlorp-xm EXPORT_NAME xm
  VERSION ${VLORP_XM_LIB_VERSION} SOVERSION ${VLORP_XM_SOVERSION} LINKER_LANGUAGE CXX)
target_link_libraries(vlorp_xm_shared PRIVATE Threads::Threads ${vlorp_xm_private_libs})
target_compile_definitions(vlorp_xm_shared INTERFACE $<$<PLATFORM_ID:Windows>:VLORP_XM_SHARED>)
if(WIN32)
  # A DLL that needs only what every Windows has: the C++ runtime, libgcc and
  # winpthreads go inside, and an import library for the linker beside it.
  target_link_options(vlorp_xm_shared PRIVATE -static)
  set_target_properties(vlorp_xm_shared PROPERTIES PREFIX lib IMPORT_PREFIX lib
    IMPORT_SUFFIX .dll.a)
else()
  # Only the vlorp_xm_ calls, whatever else the objects and the C++ headers
  # would make visible; nothing left undefined.
  target_link_options(vlorp_xm_shared PRIVATE
    -Wl,--version-script=${CMAKE_SOURCE_DIR}/music/libvlorp-xm.map -Wl,--no-undefined)
  set_property(TARGET vlorp_xm_shared APPEND PROPERTY
    LINK_DEPENDS ${CMAKE_SOURCE_DIR}/music/libvlorp-xm.map)
endif()
add_library(vlorp::xm ALIAS vlorp_xm_shared)
add_library(vlorp::xm_static ALIAS vlorp_xm_static)

# ---- install: header, both libraries, pkg-config and CMake packages ----------
# Components: runtime (the shared library), development (everything to
# build against it); the programs are cmake/install.cmake's.
install(FILES ${CMAKE_SOURCE_DIR}/include/vlorp/xm.h
        DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vlorp COMPONENT development)
install(TARGETS vlorp_xm_shared EXPORT vlorp-xm-targets
        RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
        LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime
          NAMELINK_COMPONENT development
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)
install(TARGETS vlorp_xm_static EXPORT vlorp-xm-targets
        ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT development)

set(vlorp_xm_cmake_dir ${CMAKE_INSTALL_LIBDIR}/cmake/vlorp-xm)
install(EXPORT vlorp-xm-targets NAMESPACE vlorp:: FILE vlorp-xm-targets.cmake
        DESTINATION ${vlorp_xm_cmake_dir} COMPONENT development)
include(CMakePackageConfigHelpers)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vlorp-xm-config.cmake.in
  ${CMAKE_BINARY_DIR}/vlorp-xm-config.cmake INSTALL_DESTINATION ${vlorp_xm_cmake_dir})
write_basic_package_version_file(${CMAKE_BINARY_DIR}/vlorp-xm-config-version.cmake
  VERSION ${VLORP_XM_LIB_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/vlorp-xm-config.cmake
              ${CMAKE_BINARY_DIR}/vlorp-xm-config-version.cmake
        DESTINATION ${vlorp_xm_cmake_dir} COMPONENT development)

# pkg-config: vlorp-xm links the shared library (its Libs.private serve
# `pkg-config --static` where only the static one is installed);
# vlorp-xm-static names the static archive itself.
# The prefix is found from the file's own place, so a staged or moved
# install (DESTDIR, an unpacked package) works as installed.
file(RELATIVE_PATH VLORP_XM_PC_UP /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
string(REGEX REPLACE "/$" "" VLORP_XM_PC_UP "${VLORP_XM_PC_UP}")
set(VLORP_XM_PC_PRIVATE "${vlorp_xm_private_pc}")
set(VLORP_XM_PC_SHARED_CFLAGS "")
if(WIN32)
  set(VLORP_XM_PC_SHARED_CFLAGS " -DVLORP_XM_SHARED")
endif()
foreach(pc vlorp-xm vlorp-xm-static)
  configure_file(${CMAKE_SOURCE_DIR}/cmake/${pc}.pc.in ${CMAKE_BINARY_DIR}/${pc}.pc @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
          COMPONENT development)
endforeach()
