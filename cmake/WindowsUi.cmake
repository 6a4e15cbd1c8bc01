# The whole program on Windows, built there with Qt 6 for Windows (not built or tested on the
# Linux machines: no Windows build of Qt can be had there). Included by WindowsCore.cmake.
find_package(Qt6 REQUIRED COMPONENTS Widgets Test)
find_package(JPEG REQUIRED)

set(CMAKE_AUTOMOC ON)
set(CMAKE_AUTOUIC ON)
set(CMAKE_AUTORCC ON)

include(cmake/UiSources.cmake)
list(APPEND VARK_UI_SOURCES src/ui/uSoundWin.cpp)
file(GLOB VARK_QRC CONFIGURE_DEPENDS resources/*.qrc)
add_library(vark_ui STATIC ${VARK_UI_SOURCES} ${VARK_QRC})
target_include_directories(vark_ui PUBLIC src)
target_link_libraries(vark_ui PUBLIC vark_core Qt6::Widgets JPEG::JPEG winmm)

add_executable(vark WIN32 src/Vark.cpp)
target_link_libraries(vark PRIVATE vark_ui)
set_target_properties(vark PROPERTIES OUTPUT_NAME vark)
if(EXISTS ${CMAKE_CURRENT_SOURCE_DIR}/resources/notify.wav)
  configure_file(resources/notify.wav ${CMAKE_CURRENT_BINARY_DIR}/notify.wav COPYONLY)
endif()
