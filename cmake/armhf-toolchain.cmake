# Cross build for the device: 32-bit ARMv7, EABI, hard-float (Debian armhf).
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)
set(CMAKE_C_COMPILER arm-linux-gnueabihf-gcc)
set(CMAKE_CXX_COMPILER arm-linux-gnueabihf-g++)
set(CMAKE_LIBRARY_ARCHITECTURE arm-linux-gnueabihf)
# The loader under -L is the cross toolchain's; its own libc must come with
# it (the multiarch libc of another build crashes forked children).
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-arm -L /usr/arm-linux-gnueabihf
    -E LD_LIBRARY_PATH=/usr/arm-linux-gnueabihf/lib)
# Libraries and packages come from the armhf multiarch directories only.
set(CMAKE_FIND_ROOT_PATH /usr/arm-linux-gnueabihf)
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_IGNORE_PATH /usr/lib/x86_64-linux-gnu /usr/lib/x86_64-linux-gnu/cmake
    /usr/include/x86_64-linux-gnu)
set(PKG_CONFIG_EXECUTABLE arm-linux-gnueabihf-pkg-config CACHE STRING "")
