# Fails when the Polish translations lag behind the sources: an entry the sources have and the
# .ts does not translate yet (unfinished), or one the sources no longer have (vanished).
# Runs lupdate on a copy, so the tree's file is left alone.
#   -DLUPDATE=... -DTS=... -DLIST=file-of-sources -DWORK=folder -DOPTIONS=a|b
file(MAKE_DIRECTORY ${WORK})
get_filename_component(name ${TS} NAME)
set(copy ${WORK}/${name})
file(COPY_FILE ${TS} ${copy})
string(REPLACE "|" ";" options "${OPTIONS}")
execute_process(COMMAND ${LUPDATE} ${options} @${LIST} -ts ${copy}
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lupdate failed (${rc}):\n${out}\n${err}")
endif()
file(READ ${copy} text)
string(REGEX MATCHALL
       "<source>[^<]*</source>[^<]*(<comment>[^<]*</comment>[^<]*)?<translation type=\"(unfinished|vanished|obsolete)\""
       bad "${text}")
if(bad)
  string(REPLACE ";" "\n" bad "${bad}")
  message(FATAL_ERROR "${TS} is not up to date; build the target update_translations and "
                      "translate or delete these entries:\n${bad}")
endif()
string(REGEX MATCHALL "<message" messages "${text}")
list(LENGTH messages count)
message(STATUS "${count} entries, all translated")
