# Lays out the bundle's "data" folder from the release inputs: icudtl.dat from the engine's
# folder, app.so and flutter_assets/ from the application's.
#   cmake -DDATA_DIR=... -DICU_DATA=.../icudtl.dat -DAPP_DATA_DIR=... -P copy_app_data.cmake
# The folder ends up holding exactly those files: whatever else is in it (assets the application
# no longer has, the placeholders of an earlier build with the stand-ins) is removed, or the engine
# would serve it as part of the application.
cmake_minimum_required(VERSION 3.25)

foreach(variable DATA_DIR ICU_DATA APP_DATA_DIR)
  if(NOT ${variable})
    message(FATAL_ERROR "${variable} is not set")
  endif()
endforeach()

set(sources "${ICU_DATA}" "${APP_DATA_DIR}/app.so")
set(names icudtl.dat app.so)
file(GLOB_RECURSE assets LIST_DIRECTORIES false RELATIVE "${APP_DATA_DIR}/flutter_assets"
     "${APP_DATA_DIR}/flutter_assets/*")
foreach(asset IN LISTS assets)
  list(APPEND sources "${APP_DATA_DIR}/flutter_assets/${asset}")
  list(APPEND names "flutter_assets/${asset}")
endforeach()

# Copied only when different, so a rebuild leaves the bundle's time stamps alone.
foreach(source name IN ZIP_LISTS sources names)
  get_filename_component(folder "${DATA_DIR}/${name}" DIRECTORY)
  file(MAKE_DIRECTORY "${folder}")
  file(COPY_FILE "${source}" "${DATA_DIR}/${name}" ONLY_IF_DIFFERENT)
endforeach()

file(GLOB_RECURSE present LIST_DIRECTORIES false RELATIVE "${DATA_DIR}" "${DATA_DIR}/*")
foreach(name IN LISTS present)
  if(NOT name IN_LIST names)
    file(REMOVE "${DATA_DIR}/${name}")
  endif()
endforeach()
