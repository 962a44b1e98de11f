# arm-linux-gnueabihf.cmake -- cross build for the appliance's board: ARM
# hard-float Linux with Debian's g++-arm-linux-gnueabihf.
#
#   cmake -S . -B build-arm -DCMAKE_TOOLCHAIN_FILE=cmake/arm-linux-gnueabihf.cmake [-DNAS_STATIC=ON]
#
# The board's time_t and file offsets may be 32 bits wide by default; the tree
# is built with 64-bit ones (_TIME_BITS=64, _FILE_OFFSET_BITS=64, see the top
# CMakeLists.txt), which needs glibc 2.34 or later on the board. Test programs
# run under qemu-arm (Debian's qemu-user) through CMAKE_CROSSCOMPILING_EMULATOR.
set(CMAKE_SYSTEM_NAME Linux)
set(CMAKE_SYSTEM_PROCESSOR arm)

set(NAS_CROSS_TRIPLE arm-linux-gnueabihf)
set(CMAKE_C_COMPILER ${NAS_CROSS_TRIPLE}-gcc)
set(CMAKE_CXX_COMPILER ${NAS_CROSS_TRIPLE}-g++)
set(CMAKE_STRIP ${NAS_CROSS_TRIPLE}-strip CACHE FILEPATH "strip for the target")

# Libraries and headers come from the cross sysroot only; programs (ffprobe,
# sh, du...) from the host.
set(CMAKE_FIND_ROOT_PATH /usr/${NAS_CROSS_TRIPLE})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)

# qemu-arm finds the target's dynamic loader and libraries under -L.
find_program(NAS_QEMU_ARM qemu-arm)
if(NAS_QEMU_ARM)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${NAS_QEMU_ARM} -L /usr/${NAS_CROSS_TRIPLE})
endif()
