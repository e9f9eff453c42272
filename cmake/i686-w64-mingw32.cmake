# Cross build of the 32-bit drop-in DLL with MinGW-w64. This machine cannot run
# 32-bit code, so its tests inspect the export and import tables instead.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86)
set(ORV_MINGW_TRIPLE i686-w64-mingw32)
set(CMAKE_C_COMPILER ${ORV_MINGW_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${ORV_MINGW_TRIPLE}-g++)
set(CMAKE_RC_COMPILER ${ORV_MINGW_TRIPLE}-windres)
set(CMAKE_FIND_ROOT_PATH /usr/${ORV_MINGW_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
