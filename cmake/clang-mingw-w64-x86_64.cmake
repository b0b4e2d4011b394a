# Cross-build for 64-bit Windows with Debian's clang and lld, against the same
# MinGW-w64 headers, runtime and libstdc++ (posix thread model) as the GCC
# build (cmake/mingw-w64-x86_64.cmake), and LLVM's windres. A second compiler
# that must build Orbel.exe warning-free; the release is built with GCC.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(TOOLCHAIN_PREFIX x86_64-w64-mingw32)
set(CMAKE_C_COMPILER clang)
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_C_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_CXX_COMPILER_TARGET ${TOOLCHAIN_PREFIX})
set(CMAKE_RC_COMPILER llvm-windres-14)

# clang does not find the C++ headers and libraries of Debian's MinGW GCC on
# its own; ask that GCC where its libstdc++ is.
execute_process(
  COMMAND ${TOOLCHAIN_PREFIX}-g++-posix -print-file-name=libstdc++.a
  OUTPUT_VARIABLE ORBEL_MINGW_LIBSTDCXX
  OUTPUT_STRIP_TRAILING_WHITESPACE)
if(NOT IS_ABSOLUTE "${ORBEL_MINGW_LIBSTDCXX}")
  message(FATAL_ERROR "${TOOLCHAIN_PREFIX}-g++-posix does not know its libstdc++.a (install g++-mingw-w64-x86-64-posix)")
endif()
get_filename_component(ORBEL_MINGW_GCC_DIR "${ORBEL_MINGW_LIBSTDCXX}" DIRECTORY)
set(ORBEL_MINGW_CXX_INCLUDE ${ORBEL_MINGW_GCC_DIR}/include/c++)
set(CMAKE_CXX_STANDARD_INCLUDE_DIRECTORIES
    ${ORBEL_MINGW_CXX_INCLUDE} ${ORBEL_MINGW_CXX_INCLUDE}/${TOOLCHAIN_PREFIX} ${ORBEL_MINGW_CXX_INCLUDE}/backward)

set(CMAKE_FIND_ROOT_PATH /usr/${TOOLCHAIN_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# Everything from static libraries, as with GCC; that libstdc++ needs
# winpthread (lld takes archives in any order, so the flags may name it).
set(CMAKE_EXE_LINKER_FLAGS_INIT
    "-fuse-ld=lld -static -static-libgcc -static-libstdc++ -L${ORBEL_MINGW_GCC_DIR} -lwinpthread")
set(CMAKE_SHARED_LINKER_FLAGS_INIT "${CMAKE_EXE_LINKER_FLAGS_INIT}")
