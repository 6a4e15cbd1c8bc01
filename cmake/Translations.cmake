# The program's English face, through Qt's translation system. The Russian texts in the sources are
# the originals; resources/translations/vark_en.ts (kept in the repository) holds their English.
# lrelease compiles it into translations/vark_en.qm beside the program, where the program and its
# tests look first; the installed copy looks in <data>/vark/translations/.
# After changing a text: cmake --build <build> --target update_translations, then translate what
# lupdate marked unfinished in the .ts (Qt Linguist, or any editor).
set(VARK_QT_BIN_HINTS /usr/lib/qt6/bin "${Qt6_DIR}/../../../bin")
find_program(VARK_LRELEASE NAMES lrelease lrelease-qt6 HINTS ${VARK_QT_BIN_HINTS} REQUIRED)
find_program(VARK_LUPDATE NAMES lupdate lupdate-qt6 HINTS ${VARK_QT_BIN_HINTS})

set(VARK_TS ${PROJECT_SOURCE_DIR}/resources/translations/vark_en.ts)
set(VARK_QM ${PROJECT_BINARY_DIR}/translations/vark_en.qm)
add_custom_command(OUTPUT ${VARK_QM}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${PROJECT_BINARY_DIR}/translations
  COMMAND ${VARK_LRELEASE} -silent -nounfinished ${VARK_TS} -qm ${VARK_QM}
  DEPENDS ${VARK_TS} VERBATIM)
add_custom_target(vark_translations ALL DEPENDS ${VARK_QM})
install(FILES ${VARK_QM} DESTINATION ${CMAKE_INSTALL_DATADIR}/vark/translations)

if(VARK_LUPDATE)
  # No line numbers in the .ts: it changes only when a text does.
  set(VARK_LUPDATE_COMMAND ${VARK_LUPDATE} -silent -locations none -no-obsolete
      -source-language ru_RU -target-language en ${PROJECT_SOURCE_DIR}/src)
  add_custom_target(update_translations COMMAND ${VARK_LUPDATE_COMMAND} -ts ${VARK_TS} VERBATIM)
endif()
