# The show's graphics and frames, rendered with the GL the machine has.
if(TARGET vlorp_gfx AND TARGET SDL2::SDL2)
  add_library(vlorp_gl_test_support STATIC gl_support.cpp)
  target_link_libraries(vlorp_gl_test_support PUBLIC vlorp_gfx SDL2::SDL2 GTest::gtest)
  target_include_directories(vlorp_gl_test_support PUBLIC ${CMAKE_SOURCE_DIR})
  vlorp_test(test_gfx SOURCES test_gfx.cpp LIBS vlorp_gl_test_support
             ENV "${VLORP_GL_TEST_ENV}")
  if(TARGET vlorp_show)
    vlorp_test(test_show SOURCES test_show.cpp LIBS vlorp_show vlorp_gl_test_support
               ENV "${VLORP_GL_TEST_ENV}")
  endif()
endif()
find_package(X11 QUIET) # the live show's window is looked at with Xlib
if(TARGET vlorp AND TARGET PNG::PNG AND X11_FOUND)
  vlorp_test(test_show_cli SOURCES test_show_cli.cpp LIBS PNG::PNG X11::X11
             ENV "${VLORP_GL_TEST_ENV}")
  target_compile_definitions(test_show_cli PRIVATE VLORP_EXE="$<TARGET_FILE:vlorp>")
  add_dependencies(test_show_cli vlorp)
endif()
