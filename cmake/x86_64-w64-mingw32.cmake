# Cross build of the 64-bit Windows DLL with MinGW-w64; its tests run under wine64.
set(ORV_MINGW_TRIPLE x86_64-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
