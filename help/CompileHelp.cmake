# Compiles one help project with chmcmd: the sources and the shared style
# sheet are gathered in a folder of the build, and the .chm lands in
# OUTPUT_DIR. chmcmd only warns about a page or link it cannot find; here
# that fails the build, so that no help file ships with a dead link.
set(stage ${WORK_DIR}/${PROJECT_NAME})
file(REMOVE_RECURSE ${stage})
file(COPY ${SOURCE_DIR}/${PROJECT_NAME}/ ${SOURCE_DIR}/help.css DESTINATION ${stage})
# The viewers read the pages by their charset and the contents in the code
# page of the file's language, so the contents are written in it here from
# their UTF-8 source. The index stays UTF-8: chmcmd reads it as such into the
# binary index that the viewers show.
file(GLOB lists ${stage}/*.hhc)
foreach(list ${lists})
  file(READ ${list} text)
  string(REPLACE "charset=utf-8" "charset=windows-${CODE_PAGE}" text "${text}")
  file(WRITE ${list}.utf8 "${text}")
  execute_process(COMMAND iconv -f UTF-8 -t CP${CODE_PAGE} ${list}.utf8
                  OUTPUT_FILE ${list} RESULT_VARIABLE converted)
  file(REMOVE ${list}.utf8)
  if(NOT converted EQUAL 0)
    message(FATAL_ERROR "${list} does not convert to code page ${CODE_PAGE}")
  endif()
endforeach()
execute_process(COMMAND ${CHMCMD} ${stage}/${PROJECT_NAME}.hhp
                WORKING_DIRECTORY ${OUTPUT_DIR}
                RESULT_VARIABLE result
                OUTPUT_VARIABLE output
                ERROR_VARIABLE output)
if(NOT result EQUAL 0 OR output MATCHES "Warning|Error")
  file(REMOVE ${OUTPUT_DIR}/${PROJECT_NAME}.chm)
  message(FATAL_ERROR "chmcmd failed on ${PROJECT_NAME}.hhp (exit ${result}):\n${output}")
endif()
