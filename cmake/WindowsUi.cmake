# The whole program on Windows, built there with Qt 6 for Windows (not built or tested on the
# Linux machines: no Windows build of Qt can be had there). Included by WindowsCore.cmake.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
find_package(JPEG REQUIRED)

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)

add_subdirectory(src/ui)

add_executable(vark WIN32 src/Vark.cpp)
target_link_libraries(vark PRIVATE vark_ui)
set_target_properties(vark PROPERTIES OUTPUT_NAME vark)
include(GNUInstallDirs)
include(cmake/Translations.cmake)
add_dependencies(vark vark_translations)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/resources/notify.wav)
  configure_file(resources/notify.wav ${CMAKE_CURRENT_BINARY_DIR}/notify.wav COPYONLY)
endif()
