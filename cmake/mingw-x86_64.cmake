# Cross build for 64-bit Windows with MinGW-w64: the same sources as a 64-bit program,
# which runs where the host cannot run 32-bit code. It is tested, not shipped.
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(MINGW_PREFIX x86_64-w64-mingw32)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-common.cmake)

# ctest runs the test programs with Wine's 64-bit loader, called by its own path:
# Debian's wine command takes the 32-bit loader whenever wine32 is installed.
set(CMAKE_CROSSCOMPILING_EMULATOR /usr/bin/env WINELOADER=/usr/lib/wine/wine64 /usr/lib/wine/wine64)
