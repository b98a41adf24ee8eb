# Fails when a source file includes a header by a path that begins with "..": such a path is
# found beside the including file, around the include path that decides what a layer may use.
# Every build runs it first: cmake -DSOURCE_DIR=<tree> -P check_includes.cmake
if(NOT IS_DIRECTORY "${SOURCE_DIR}")
  message(FATAL_ERROR "SOURCE_DIR must name the source tree")
endif()
file(GLOB folders RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/*")
set(found "")
foreach(folder ${folders})
  # Build trees and hidden folders hold no sources of ours.
  if(folder MATCHES "^(build|out|\\.)" OR NOT IS_DIRECTORY "${SOURCE_DIR}/${folder}")
    continue()
  endif()
  file(GLOB_RECURSE files RELATIVE "${SOURCE_DIR}" "${SOURCE_DIR}/${folder}/*.h"
       "${SOURCE_DIR}/${folder}/*.c" "${SOURCE_DIR}/${folder}/*.cpp")
  foreach(file ${files})
    file(STRINGS "${SOURCE_DIR}/${file}" lines REGEX "^[ \t]*#[ \t]*include[ \t]*[<\"]\\.\\.")
    foreach(line ${lines})
      string(APPEND found "\n  ${file}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(found)
  message(FATAL_ERROR "Includes name the folder from the root of the tree, never \"..\":${found}")
endif()
