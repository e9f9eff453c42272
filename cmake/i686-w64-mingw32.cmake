# Cross build of the 32-bit drop-in DLL with MinGW-w64. This machine cannot run
# 32-bit code, so its tests inspect the export and import tables instead.
set(ORV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_SYSTEM_PROCESSOR x86)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)
