# Cross build for 64-bit Windows with MinGW-w64: the same sources as a 64-bit program,
# which runs where the host cannot run 32-bit code; tested, not shipped. ctest runs the
# test programs in the lane of its preset (tools/lane.sh).
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/lane.sh x64)
