# The Windows build of the core: the platform-neutral core, the Windows platform files, and the tests that mean the same on Windows, cross-built with mingw-w64
# (cmake/mingw-w64-x86_64.cmake) and run under Wine. Lists are explicit: the Linux-only sources
# and tests stay out by name. GoogleTest is built here for the target from its sources.
# On Windows itself the same lists serve, and the user interface follows (cmake/WindowsUi.cmake).
if(NOT WIN32)
  message(FATAL_ERROR "VARK_WINDOWS_CORE needs a Windows toolchain: -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake")
endif()

set(VARK_GTEST_SOURCE_DIR /usr/src/googletest CACHE PATH "GoogleTest sources to build for the target")
if(NOT EXISTS ${VARK_GTEST_SOURCE_DIR}/CMakeLists.txt)
  message(FATAL_ERROR "GoogleTest sources not found in ${VARK_GTEST_SOURCE_DIR}: set VARK_GTEST_SOURCE_DIR")
endif()

set(VARK_WIN_CORE_SOURCES
  src/watcher/uDirChanges.cpp
  src/watcher/uDirChangesWin.cpp
  src/watcher/uFolderMonitor.cpp
  src/watcher/uMonThread2.cpp
  src/watcher/uPathProbe.cpp
  src/watcher/uPlatformTextWin.cpp
  src/watcher/uTimeText.cpp
  src/watcher/uTimeTextWin.cpp
  src/watcher/uUtf8Text.cpp
  src/settings/uAppPathsWin.cpp
  src/settings/uAutorunStoreWin.cpp
  src/settings/uFileIni.cpp
  src/settings/uObjtOpt.cpp
  src/settings/uProfile.cpp
  src/settings/uProfileWin.cpp
  src/settings/uRegister.cpp
  src/settings/uUserMessages.cpp
  src/actions/uAdditionalLogic.cpp
  src/actions/uObjFiles.cpp)
add_library(vark_core STATIC ${VARK_WIN_CORE_SOURCES})
target_include_directories(vark_core PUBLIC src)
# Unicode calls by default; the sources name the wide calls explicitly all the same.
target_compile_definitions(vark_core PUBLIC UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
                                            _WIN32_WINNT=0x0601)
target_link_libraries(vark_core PUBLIC Threads::Threads shell32 advapi32)

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
target_link_libraries(vark_core_tests PRIVATE vark_core gtest gtest_main gmock winmm)

enable_testing()
include(GoogleTest)
gtest_discover_tests(vark_core_tests DISCOVERY_MODE PRE_TEST DISCOVERY_TIMEOUT 120
                     PROPERTIES TIMEOUT 120 LABELS core)

if(NOT VARK_WINDOWS_CORE AND NOT VARK_CORE_ONLY)
  include(cmake/WindowsUi.cmake)
endif()
