# The Windows build of the core's tests that mean the same on Windows, cross-built with mingw-w64
# (cmake/mingw-w64-x86_64.cmake) and run under Wine. The list is explicit: the Linux-only tests
# stay out by name. GoogleTest is built here for the target from its sources.
# On Windows itself the same lists serve, and the user interface follows (cmake/WindowsUi.cmake).
set(VARK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${VARK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VARK_GTEST_SOURCE_DIR}: set VARK_GTEST_SOURCE_DIR")
endif()

# The core's libraries are made by CMakeLists.txt, as on Linux; here its tests.
add_subdirectory(tests/support)

# GoogleTest for the target, without our warning flags (its sources are not ours to keep clean).
set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
add_subdirectory(${VARK_GTEST_SOURCE_DIR} googletest EXCLUDE_FROM_ALL)
foreach(t gtest gtest_main gmock gmock_main)
  set_property(TARGET ${t} PROPERTY COMPILE_OPTIONS -w)
endforeach()

set(VARK_WIN_TEST_SOURCES
  tests/core/uMonThread2Test.cpp
  tests/core/uObjFilesTest.cpp
  tests/core/uWatcherThreadTest.cpp
  tests/core/uPlatformTextTest.cpp
  tests/core/uPlatformTextWinTest.cpp
  tests/core/uDirChangesWinTest.cpp
  tests/core/uProfileWinTest.cpp
  tests/core/uAutorunStoreWinTest.cpp
  tests/core/uSoundWinTest.cpp)
# The Windows sound needs no Qt, so its test builds it here from the interface's folder; in the
# whole program it belongs to the interface library (cmake/WindowsUi.cmake).
add_executable(vark_core_tests ${VARK_WIN_TEST_SOURCES} src/ui/uSoundWin.cpp)
target_link_libraries(vark_core_tests PRIVATE vark_core vark_test_support gtest gtest_main gmock
                                              winmm)

enable_testing()
include(GoogleTest)
gtest_discover_tests(vark_core_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 120 LABELS core)

if(NOT VARK_WINDOWS_CORE AND NOT VARK_CORE_ONLY)
  include(cmake/WindowsUi.cmake)
endif()
