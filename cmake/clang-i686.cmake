# Cross build for 32-bit Windows with Clang and LLD, on MinGW-w64's own headers and
# import libraries: the same program as the GCC build, from a second compiler.
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_C_COMPILER clang)
set(CMAKE_C_COMPILER_TARGET ${MINGW_PREFIX})
set(CMAKE_CXX_COMPILER clang++)
set(CMAKE_CXX_COMPILER_TARGET ${MINGW_PREFIX})

# libgcc (for the stack probe) is where MinGW's GCC keeps it, which LLD does not search.
execute_process(COMMAND ${MINGW_PREFIX}-gcc-posix -print-libgcc-file-name
    OUTPUT_VARIABLE MINGW_LIBGCC OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
get_filename_component(MINGW_LIBGCC_DIR ${MINGW_LIBGCC} DIRECTORY)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-fuse-ld=lld -L${MINGW_LIBGCC_DIR}")
