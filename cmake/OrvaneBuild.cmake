# Compiler settings shared by every target of ours (not by third-party code such as GoogleTest).

# Warnings as errors, on both compilers we support. Link `orvane_warnings` into every own target.
add_library(orvane_warnings INTERFACE)
if(MSVC)
  target_compile_options(orvane_warnings INTERFACE /W4 /WX /permissive- /utf-8 /Zc:__cplusplus)
  target_compile_definitions(orvane_warnings INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
else()
  target_compile_options(orvane_warnings INTERFACE
    -Wall -Wextra -Wpedantic -Werror -Wshadow -Wnon-virtual-dtor -Wcast-align -Wformat=2)
  if(WIN32)
    target_compile_definitions(orvane_warnings INTERFACE UNICODE _UNICODE NOMINMAX WIN32_LEAN_AND_MEAN)
  endif()
endif()

if(WIN32 AND NOT MSVC)
  # The executables and DLLs must not need libstdc++, libgcc or libwinpthread DLLs at run time.
  add_link_options(-static -static-libgcc -static-libstdc++)
  # Sections start on page boundaries in the file, so a loader can map them instead of reading
  # them. Wine reads every section of an image whose file alignment is below a page, the DWARF
  # of a debug build included (14 MB in orvane.exe, 16 MB in the stand-in engine): that was a
  # fifth or more of the time to the first window. Mapped, the debug sections are never touched.
  add_link_options(-Wl,--file-alignment,4096)
endif()

if(ORVANE_SANITIZE)
  if(WIN32)
    message(FATAL_ERROR "ORVANE_SANITIZE is for the native build")
  endif()
  add_compile_options(-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(ORVANE_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang")
    message(FATAL_ERROR "ORVANE_FUZZ needs clang (libFuzzer)")
  endif()
  # Coverage instrumentation for everything of ours; only the fuzz targets link libFuzzer's main.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
    -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
endif()

if(WIN32 AND CMAKE_CROSSCOMPILING)
  # ctest runs the Windows executables under Wine, in a prefix inside this build tree.
  set(ORVANE_WINE_DIR ${CMAKE_BINARY_DIR}/wine)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_SOURCE_DIR}/scripts/wine-exec.sh ${ORVANE_WINE_DIR})
endif()

# Our headers are included by their path from the repository root ("embedding/encodable_value.h").
add_library(orvane_source_root INTERFACE)
target_include_directories(orvane_source_root INTERFACE ${PROJECT_SOURCE_DIR})
