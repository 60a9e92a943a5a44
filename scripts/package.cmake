# Packs a release bundle into a zip archive with its SHA-256 file beside it (ARCHIVE.sha256, in the
# format `sha256sum -c` reads). The archive holds the bundle's files at its top level: orvane.exe,
# the engine and plugin DLLs, and data/.
#   cmake -DBUNDLE_DIR=... -DFILE_LIST=... -DARCHIVE=.../orvane-VERSION-windows-x64.zip -P package.cmake
# FILE_LIST names the executable and the DLLs it loads (written by the build): only those and
# data/ are packed, whatever else a build may have left in the bundle's folder.
cmake_minimum_required(VERSION 3.25)

foreach(variable BUNDLE_DIR FILE_LIST ARCHIVE)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

get_filename_component(BUNDLE_DIR "${BUNDLE_DIR}" ABSOLUTE)
get_filename_component(ARCHIVE "${ARCHIVE}" ABSOLUTE)
file(READ "${FILE_LIST}" files)
string(STRIP "${files}" files)
set(entries "")
foreach(file IN LISTS files)
  get_filename_component(name "${file}" NAME)
  list(APPEND entries "${name}")
endforeach()
file(GLOB_RECURSE data LIST_DIRECTORIES false RELATIVE "${BUNDLE_DIR}" "${BUNDLE_DIR}/data/*")
list(APPEND entries ${data})
foreach(required data/app.so data/icudtl.dat)
  if(NOT required IN_LIST entries)
    message(FATAL_ERROR "${BUNDLE_DIR} has no ${required}")
  endif()
endforeach()
foreach(entry IN LISTS entries)
  if(NOT EXISTS "${BUNDLE_DIR}/${entry}")
    message(FATAL_ERROR "${BUNDLE_DIR} has no ${entry}")
  endif()
endforeach()

# Written beside the final name and renamed last, so that an interrupted run leaves no archive that
# looks complete.
get_filename_component(archive_name "${ARCHIVE}" NAME)
file(REMOVE "${ARCHIVE}" "${ARCHIVE}.sha256")
execute_process(COMMAND ${CMAKE_COMMAND} -E tar cf "${ARCHIVE}.partial" --format=zip -- ${entries}
                WORKING_DIRECTORY "${BUNDLE_DIR}" RESULT_VARIABLE failed)
if(failed)
  file(REMOVE "${ARCHIVE}.partial")
  message(FATAL_ERROR "packing ${archive_name} failed")
endif()
file(SHA256 "${ARCHIVE}.partial" hash)
file(RENAME "${ARCHIVE}.partial" "${ARCHIVE}")
file(WRITE "${ARCHIVE}.sha256" "${hash}  ${archive_name}\n")
list(LENGTH entries count)
message(STATUS "${ARCHIVE}: ${count} files, SHA-256 ${hash}")
