# Writes the program version into OUT at build time: the project version, then what
# `git describe` says of the checkout when the sources are one (tarballs have no history).
#   cmake -DSOURCE_DIR=... -DOUT=... -DVERSION=... -DHIDAPI_VERSION=... -DBUILD_TYPE=... -P write_version.cmake
# OUT is rewritten only when its text changes, so an unchanged checkout rebuilds nothing.
set(described "")
find_program(GIT_EXECUTABLE git)
if(GIT_EXECUTABLE AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" describe --tags --always --dirty
                  OUTPUT_VARIABLE described OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(described "")
  endif()
endif()
set(text "${VERSION}")
if(described)
  string(APPEND text " (git ${described})")
endif()
set(content "// Written at build time; see shared/cmake/write_version.cmake.
#include \"conv/version.h\"

namespace conv {
const char* programVersion() { return \"${text}\"; }
const char* hidapiBuildVersion() { return \"${HIDAPI_VERSION}\"; }
const char* buildType() { return \"${BUILD_TYPE}\"; }
}  // namespace conv
")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL content)
  file(WRITE "${OUT}" "${content}")
endif()
