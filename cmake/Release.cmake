# The release: how orvane.exe is compiled and linked to be shipped, and what turns the linked file
# into the archive a user downloads. Included by the top-level CMakeLists.txt before any target,
# for the flags; host/CMakeLists.txt calls orvane_add_release_steps() once orvane.exe exists.
#
# A Release build (CMAKE_BUILD_TYPE Release: the presets release and msvc-release):
# - compiles with debug information, and links reproducibly: the same commit and release inputs
#   give the same bytes in any folder, at any time, for any user;
# - after the link, moves the debug information out of orvane.exe into orvane.exe.debug in the
#   build folder, with a debug link to it (g++ and clang; MSVC writes its PDB beside the image);
# - signs orvane.exe when ORVANE_SIGN_CERTIFICATE names a certificate;
# - writes THIRD-PARTY-NOTICES.txt into the bundle from what the link took in;
# - orvane_zip packs the bundle into orvane-VERSION-windows-x64.zip and the debug information into
#   orvane-VERSION-windows-x64-symbols.zip, each with its .sha256 (scripts/release/pack.py).
# scripts/verify-release.sh checks such an archive against a rebuild from the source.

set(ORVANE_RELEASE OFF)
if(CMAKE_BUILD_TYPE STREQUAL "Release")
  set(ORVANE_RELEASE ON)
endif()
set(orvane_c_cxx "$<COMPILE_LANGUAGE:C,CXX>")
set(orvane_release_c_cxx "$<AND:$<CONFIG:Release>,${orvane_c_cxx}>")

# ---- Hardening, in every configuration: the tests run the code the release ships.
if(WIN32 AND NOT MSVC)
  # Stack canaries in every function with a local array or a local whose address is taken, and the
  # C library's checked memcpy, strcpy and the like wherever the size of the destination is known
  # (this one only where the compiler optimises). Both come from libssp, which the static link
  # takes in as a library, not as a DLL.
  add_compile_options("$<${orvane_c_cxx}:-fstack-protector-strong;-U_FORTIFY_SOURCE;-D_FORTIFY_SOURCE=2>")
  add_link_options(-fstack-protector-strong)
  # No time of the link in the PE header: the same objects give the same image.
  add_link_options(-Wl,--no-insert-timestamp)
elseif(MSVC)
  # Control Flow Guard, and the mark that the image works under the CET shadow stack. /GS, ASLR and
  # DEP are on by default.
  add_compile_options("$<${orvane_c_cxx}:/guard:cf>")
  add_link_options(/guard:cf /CETCOMPAT)
endif()

# ---- Reproducible, with its debug information kept
if(WIN32 AND NOT MSVC)
  # The folders of the source and the build are written into the debug information (and so into
  # the debug link's checksum in orvane.exe): both recorded as ".", the paths below them relative.
  # The compiler tries the last map first, and the build folder may lie inside the source folder.
  add_compile_options("$<${orvane_release_c_cxx}:-g;-ffile-prefix-map=${CMAKE_SOURCE_DIR}=.;-ffile-prefix-map=${CMAKE_BINARY_DIR}=.>")
elseif(MSVC)
  # A separate PDB, no time stamps or absolute PDB path in the image (/Brepro, /PDBALTPATH), and
  # the unreferenced code /DEBUG would otherwise keep left out.
  set(CMAKE_MSVC_DEBUG_INFORMATION_FORMAT ProgramDatabase)
  add_compile_options("$<${orvane_release_c_cxx}:/Brepro>")
  add_link_options("$<$<CONFIG:Release>:/DEBUG;/OPT:REF;/OPT:ICF;/INCREMENTAL:NO;/Brepro;/PDBALTPATH:%_PDB%>")
endif()

# ---- Signing and packing: settings
set(ORVANE_SIGN_CERTIFICATE "" CACHE STRING
  "Code-signing certificate for orvane.exe: a PKCS#12 file, or a PEM certificate with ORVANE_SIGN_KEY \
(osslsigncode); with signtool the SHA-1 thumbprint of a certificate in the user's store. Empty: unsigned")
set(ORVANE_SIGN_KEY "" CACHE FILEPATH "PEM private key of a PEM ORVANE_SIGN_CERTIFICATE")
set(ORVANE_SIGN_PASSWORD_FILE "" CACHE FILEPATH "File holding the password of the certificate or key")
set(ORVANE_SIGN_TIMESTAMP_URL "" CACHE STRING "RFC 3161 time-stamping service asked at signing, if any")
option(ORVANE_STANDIN_TEST_ARCHIVE
  "Let orvane_zip pack our stand-in engine and plugins, into an archive named as a test archive" OFF)

if(ORVANE_RELEASE)
  find_package(Python3 COMPONENTS Interpreter)
  if(NOT Python3_Interpreter_FOUND)
    message(FATAL_ERROR "A Release build needs Python 3 (scripts/release/): none was found")
  endif()
endif()

if(ORVANE_SIGN_CERTIFICATE)
  if(NOT ORVANE_RELEASE)
    message(FATAL_ERROR "ORVANE_SIGN_CERTIFICATE is for a Release build (the release presets)")
  endif()
  if(CMAKE_HOST_WIN32)
    find_program(ORVANE_SIGN_TOOL signtool REQUIRED)
  else()
    find_program(ORVANE_SIGN_TOOL osslsigncode REQUIRED)
  endif()
  set(missing "")
  foreach(variable ORVANE_SIGN_CERTIFICATE ORVANE_SIGN_KEY ORVANE_SIGN_PASSWORD_FILE)
    set(path "${${variable}}")
    # With signtool the certificate may be a thumbprint rather than a file.
    if(path AND NOT EXISTS "${path}" AND NOT (CMAKE_HOST_WIN32 AND path MATCHES "^[0-9A-Fa-f]+$"))
      list(APPEND missing "${variable}: ${path}")
    endif()
  endforeach()
  if(missing)
    list(JOIN missing "\n  " listing)
    message(FATAL_ERROR "Signing files not found:\n  ${listing}")
  endif()
endif()

# orvane_add_release_steps(): the steps after the link of orvane.exe, and the target orvane_zip.
function(orvane_add_release_steps)
  set(name orvane-${PROJECT_VERSION}-windows-x64)
  if(ORVANE_STANDIN_TEST_ARCHIVE)
    string(APPEND name -test-standins)
  endif()
  set(archive ${CMAKE_BINARY_DIR}/${name}.zip)
  set(symbols_archive ${CMAKE_BINARY_DIR}/${name}-symbols.zip)
  set(scripts ${PROJECT_SOURCE_DIR}/scripts/release)
  set(notices ${ORVANE_BUNDLE_DIR}/THIRD-PARTY-NOTICES.txt)
  set(file_list ${CMAKE_BINARY_DIR}/bundle-files.txt)
  file(GENERATE OUTPUT ${file_list} CONTENT "$<TARGET_FILE:orvane>;$<TARGET_RUNTIME_DLLS:orvane>\n")

  if(NOT ORVANE_RELEASE)
    add_custom_target(orvane_zip
      COMMAND ${CMAKE_COMMAND} -E echo "orvane_zip: only a Release build is packed (the release presets)."
      COMMAND ${CMAKE_COMMAND} -E false
      VERBATIM)
    return()
  endif()

  set(steps "")
  if(MSVC)
    set(symbols $<TARGET_PDB_FILE:orvane>)
  else()
    set(symbols ${CMAKE_BINARY_DIR}/orvane.exe.debug)
    set(link_map ${CMAKE_BINARY_DIR}/orvane.map)
    target_link_options(orvane PRIVATE -Wl,-Map=${link_map})
    list(APPEND steps COMMAND ${Python3_EXECUTABLE} ${scripts}/finish_image.py ${CMAKE_OBJCOPY}
                              $<TARGET_FILE:orvane> ${symbols})
  endif()
  if(ORVANE_SIGN_CERTIFICATE)
    set(sign_options --tool ${ORVANE_SIGN_TOOL} --certificate ${ORVANE_SIGN_CERTIFICATE})
    if(ORVANE_SIGN_KEY)
      list(APPEND sign_options --key ${ORVANE_SIGN_KEY})
    endif()
    if(ORVANE_SIGN_PASSWORD_FILE)
      list(APPEND sign_options --password-file ${ORVANE_SIGN_PASSWORD_FILE})
    endif()
    if(ORVANE_SIGN_TIMESTAMP_URL)
      list(APPEND sign_options --timestamp-url ${ORVANE_SIGN_TIMESTAMP_URL})
    endif()
    list(APPEND steps COMMAND ${Python3_EXECUTABLE} ${scripts}/sign.py ${sign_options} $<TARGET_FILE:orvane>)
  endif()
  if(MSVC)
    list(APPEND steps COMMAND ${Python3_EXECUTABLE} ${scripts}/notices.py --msvc ${notices})
  else()
    # The project's own files and the release inputs' import libraries are not third-party code
    # linked in: the DLLs behind those come with their own notices.
    set(ours --ours ${CMAKE_BINARY_DIR} --ours ${PROJECT_SOURCE_DIR})
    foreach(folder IN LISTS ORVANE_ENGINE_DIR ORVANE_PLUGIN_DIRS)
      list(APPEND ours --ours ${folder})
    endforeach()
    list(APPEND steps COMMAND ${Python3_EXECUTABLE} ${scripts}/notices.py ${link_map} ${notices} ${ours})
  endif()
  add_custom_command(TARGET orvane POST_BUILD ${steps} VERBATIM
    COMMENT "Making orvane.exe a release: debug information apart, signature, notices")

  set(pack_options --bundle ${ORVANE_BUNDLE_DIR} --files ${file_list} --archive ${archive}
                   --symbols ${symbols} --symbols-archive ${symbols_archive})
  if(ORVANE_STANDIN_TEST_ARCHIVE)
    list(APPEND pack_options --allow-standins)
  endif()
  add_custom_target(orvane_zip
    COMMAND ${Python3_EXECUTABLE} ${scripts}/pack.py ${pack_options}
    VERBATIM
    COMMENT "Packing ${name}.zip and ${name}-symbols.zip")
  add_dependencies(orvane_zip orvane)
endfunction()
