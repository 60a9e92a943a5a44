# Writes the placeholder of the application's "data" folder into DATA_DIR:
#   cmake -DDATA_DIR=... -P write_placeholder_data.cmake
# The stand-in engine only takes the paths; it reads none of these files. They are there so the
# bundle has the layout of a release of the application, and say what they are to anyone who
# opens them.
if(NOT DATA_DIR)
  message(FATAL_ERROR "DATA_DIR is not set")
endif()

set(note "Placeholder written by the Orvane host build: the stand-in flutter_windows.dll does not read it.")

# Written only when missing or different, so a rebuild leaves the bundle's time stamps alone.
function(write_placeholder path content)
  if(EXISTS "${path}")
    file(READ "${path}" existing)
    if(existing STREQUAL content)
      return()
    endif()
  endif()
  file(WRITE "${path}" "${content}")
endfunction()

write_placeholder("${DATA_DIR}/app.so" "${note}\n")
write_placeholder("${DATA_DIR}/icudtl.dat" "${note}\n")
write_placeholder("${DATA_DIR}/flutter_assets/AssetManifest.json" "{}\n")
write_placeholder("${DATA_DIR}/flutter_assets/FontManifest.json" "[]\n")
write_placeholder("${DATA_DIR}/flutter_assets/NOTICES" "${note}\n")
