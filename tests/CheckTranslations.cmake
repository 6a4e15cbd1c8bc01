# Every text marked in src/ has its English in resources/translations/vark_en.ts: lupdate, run over
# a copy of the file, finds nothing to add, nothing to drop and nothing unfinished.
# cmake -DLUPDATE=<lupdate> -DSOURCE_DIR=<repository> -DWORK=<scratch folder> -P CheckTranslations.cmake
set(kept ${SOURCE_DIR}/resources/translations/vark_en.ts)
file(MAKE_DIRECTORY ${WORK})
configure_file(${kept} ${WORK}/vark_en.ts COPYONLY)
execute_process(
  COMMAND ${LUPDATE} -silent -locations none -no-obsolete -source-language ru_RU
          -target-language en ${SOURCE_DIR}/src -ts ${WORK}/vark_en.ts
  RESULT_VARIABLE result)
file(READ ${kept} before)
file(READ ${WORK}/vark_en.ts after)
set(fix "run: cmake --build <build folder> --target update_translations, then translate what it marks unfinished")
if(NOT result EQUAL 0)
  message(FATAL_ERROR "lupdate failed (${result})")
elseif(NOT before STREQUAL after)
  message(FATAL_ERROR "vark_en.ts does not hold the texts of src/ as they are now; ${fix}")
elseif(before MATCHES "type=\"unfinished\"")
  message(FATAL_ERROR "vark_en.ts has texts without English; ${fix}")
endif()
message(STATUS "vark_en.ts: every text has its English")
