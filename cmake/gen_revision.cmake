# Writes the build's own revision identifier into a header, at every
# build, touching the file only when the identifier changed.
# Inputs: SOURCE_DIR, OUTPUT.
set(revision "0000000000000000000000000000000000000000")
find_program(GIT git)
if(GIT AND EXISTS ${SOURCE_DIR}/.git)
  execute_process(COMMAND ${GIT} rev-parse HEAD WORKING_DIRECTORY ${SOURCE_DIR}
                  OUTPUT_VARIABLE out RESULT_VARIABLE rc ERROR_QUIET OUTPUT_STRIP_TRAILING_WHITESPACE)
  if(rc EQUAL 0 AND out MATCHES "^[0-9a-f]+$")
    string(LENGTH "${out}" len)
    if(len EQUAL 40)
      set(revision "${out}")
    endif()
  endif()
endif()
set(content "// Generated at build time: the build's own revision identifier.\n#define KILN_BUILD_REVISION \"${revision}\"\n")
if(EXISTS ${OUTPUT})
  file(READ ${OUTPUT} old)
else()
  set(old "")
endif()
if(NOT old STREQUAL content)
  file(WRITE ${OUTPUT} "${content}")
endif()
