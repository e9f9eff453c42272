# Linux i386 build: the 32-bit data model of the drop-in DLL (4-byte pointers
# and size_t) with the native GCC's multilib support. This machine's kernel
# runs no 32-bit programs, so CTest starts every test program through the
# qemu-i386 user-mode emulator.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR i686)
set(CMAKE_C_COMPILER gcc)
set(CMAKE_CXX_COMPILER g++)
set(CMAKE_C_FLAGS_INIT -m32)
set(CMAKE_CXX_FLAGS_INIT -m32)
set(CMAKE_LIBRARY_ARCHITECTURE i386-linux-gnu)

find_program(ORV_QEMU_I386 qemu-i386 REQUIRED)
set(CMAKE_CROSSCOMPILING_EMULATOR ${ORV_QEMU_I386})

# pkg-config looks at the i386 libraries only, so that an optional dependency
# found for the machine's own 64-bit builds (libusb, umockdev) is not linked
# into the 32-bit one; without its i386 package it is left out.
set(ENV{PKG_CONFIG_LIBDIR} /usr/lib/i386-linux-gnu/pkgconfig:/usr/share/pkgconfig)
