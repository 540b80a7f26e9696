# Cross build for 32-bit Windows with MinGW-w64: the program players get. ctest runs
# the test programs in the lane of its preset (tools/lane.sh).
set(CMAKE_SYSTEM_PROCESSOR x86)
set(MINGW_PREFIX i686-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)
set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_CURRENT_LIST_DIR}/../tools/lane.sh i686)
