# Cross-compiles x86-64 Windows binaries with clang instead of g++, against the same mingw-w64
# headers and libraries and the same libstdc++ (the posix-thread flavour) as mingw-w64-x86_64.cmake.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(ORVANE_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${ORVANE_MINGW_TRIPLE})
set(CMAKE_CXX_COMPILER_TARGET ${ORVANE_MINGW_TRIPLE})
set(CMAKE_RC_COMPILER ${ORVANE_MINGW_TRIPLE}-windres)
set(CMAKE_SYSROOT /usr/${ORVANE_MINGW_TRIPLE})

# clang does not find Debian's GCC for this target (its folder is named "12-posix", not a version),
# so it is named here: libstdc++'s headers, and the folder of libgcc and libstdc++ for the linker.
file(GLOB orvane_gcc_dirs LIST_DIRECTORIES true /usr/lib/gcc/${ORVANE_MINGW_TRIPLE}/*-posix)
list(SORT orvane_gcc_dirs COMPARE NATURAL ORDER DESCENDING)
list(GET orvane_gcc_dirs 0 orvane_gcc_dir)
if(NOT IS_DIRECTORY "${orvane_gcc_dir}/include/c++")
  message(FATAL_ERROR "No posix-thread mingw-w64 GCC under /usr/lib/gcc/${ORVANE_MINGW_TRIPLE}")
endif()
set(orvane_libstdcxx "${orvane_gcc_dir}/include/c++")
# Built by GCC, that libstdc++ keeps its thread-local variables in emulated TLS and has
# type_info's == out of line (GCC has no weak symbols for this target; clang would inline it and
# clash with libstdc++'s own copy): clang must compile to the same terms.
set(CMAKE_C_FLAGS_INIT "-femulated-tls")
set(CMAKE_CXX_FLAGS_INIT "-femulated-tls -D__GXX_TYPEINFO_EQUALITY_INLINE=0 -isystem ${orvane_libstdcxx} -isystem ${orvane_libstdcxx}/${ORVANE_MINGW_TRIPLE} -isystem ${orvane_libstdcxx}/backward")
foreach(kind EXE SHARED MODULE)
  # g++-posix links winpthreads (std::thread, std::mutex) by itself; clang does with -pthread.
  set(CMAKE_${kind}_LINKER_FLAGS_INIT "-L${orvane_gcc_dir} -pthread")
endforeach()

set(CMAKE_FIND_ROOT_PATH /usr/${ORVANE_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
