# Where the engine, the three plugins and the application come from.
#
# Unset (the default), the build makes its own stand-ins of the engine and plugins and a data folder
# of placeholders. Set together, the three folders below are what a release is built from: the
# product links the import libraries found there and the bundle is laid out from their files. Of
# those folders only DLLs, import libraries and data files are used, never a header or a source:
# the product declares the engine's interface itself (embedding/flutter_windows.h).
set(ORVANE_ENGINE_DIR "" CACHE PATH
  "Folder of the engine: flutter_windows.dll, its import library flutter_windows.dll.lib, icudtl.dat")
set(ORVANE_PLUGIN_DIRS "" CACHE STRING
  "Folders (absolute, ';'-separated) holding each plugin's NAME.dll beside its import library NAME.lib")
set(ORVANE_APP_DATA_DIR "" CACHE PATH
  "Folder of the application's compiled code and assets: app.so and flutter_assets/")

set(ORVANE_PLUGIN_LIBRARIES
  file_selector_windows_plugin
  flutter_secure_storage_windows_plugin
  url_launcher_windows_plugin)

set(inputs_set "")
set(inputs_unset "")
foreach(variable ORVANE_ENGINE_DIR ORVANE_PLUGIN_DIRS ORVANE_APP_DATA_DIR)
  if("${${variable}}" STREQUAL "")
    list(APPEND inputs_unset ${variable})
  else()
    list(APPEND inputs_set ${variable})
  endif()
endforeach()

if(NOT inputs_set)
  set(ORVANE_EXTERNAL_ENGINE OFF)
  return()
endif()
set(ORVANE_EXTERNAL_ENGINE ON)

# A bundle with the real engine but stand-in plugins (or the reverse) would load, then fail in
# ways far from the cause: the stand-ins call into our stand-in engine's own functions.
if(inputs_unset)
  list(JOIN inputs_set ", " given)
  list(JOIN inputs_unset ", " missing)
  message(FATAL_ERROR "${given} set, but not ${missing}: the engine, plugin and application "
                      "folders are used together, or none of them (for the stand-ins)")
endif()
if(NOT WIN32)
  message(FATAL_ERROR "ORVANE_ENGINE_DIR and its companions are for a Windows build")
endif()

# Every missing file is named at once, so that one configure run tells the whole story.
set(missing "")
macro(orvane_require_file path)
  if(NOT EXISTS "${path}" OR IS_DIRECTORY "${path}")
    list(APPEND missing "${path}")
  endif()
endmacro()

foreach(file flutter_windows.dll flutter_windows.dll.lib icudtl.dat)
  orvane_require_file("${ORVANE_ENGINE_DIR}/${file}")
endforeach()

foreach(folder IN LISTS ORVANE_PLUGIN_DIRS)
  if(NOT IS_ABSOLUTE "${folder}")
    message(FATAL_ERROR "ORVANE_PLUGIN_DIRS: \"${folder}\" is not an absolute path")
  endif()
endforeach()
foreach(plugin IN LISTS ORVANE_PLUGIN_LIBRARIES)
  set(ORVANE_${plugin}_DIR "")
  foreach(folder IN LISTS ORVANE_PLUGIN_DIRS)
    if(EXISTS "${folder}/${plugin}.dll")
      set(ORVANE_${plugin}_DIR "${folder}")
      break()
    endif()
  endforeach()
  if(ORVANE_${plugin}_DIR)
    orvane_require_file("${ORVANE_${plugin}_DIR}/${plugin}.lib")
  else()
    list(JOIN ORVANE_PLUGIN_DIRS "; " searched)
    list(APPEND missing "${plugin}.dll (in none of: ${searched})")
  endif()
endforeach()

orvane_require_file("${ORVANE_APP_DATA_DIR}/app.so")
if(NOT IS_DIRECTORY "${ORVANE_APP_DATA_DIR}/flutter_assets")
  list(APPEND missing "${ORVANE_APP_DATA_DIR}/flutter_assets/ (a folder)")
endif()

if(missing)
  list(JOIN missing "\n  " listing)
  message(FATAL_ERROR "The release inputs are incomplete; missing:\n  ${listing}")
endif()

# The same target names as the stand-ins', so the product's target_link_libraries do not change.
function(orvane_import_library name location import_library)
  add_library(${name} SHARED IMPORTED GLOBAL)
  set_target_properties(${name} PROPERTIES IMPORTED_LOCATION "${location}" IMPORTED_IMPLIB "${import_library}")
endfunction()
orvane_import_library(flutter_windows "${ORVANE_ENGINE_DIR}/flutter_windows.dll"
                      "${ORVANE_ENGINE_DIR}/flutter_windows.dll.lib")
foreach(plugin IN LISTS ORVANE_PLUGIN_LIBRARIES)
  orvane_import_library(${plugin} "${ORVANE_${plugin}_DIR}/${plugin}.dll" "${ORVANE_${plugin}_DIR}/${plugin}.lib")
endforeach()
message(STATUS "Engine, plugins and application from ${ORVANE_ENGINE_DIR}; ${ORVANE_PLUGIN_DIRS}; "
               "${ORVANE_APP_DATA_DIR}")
