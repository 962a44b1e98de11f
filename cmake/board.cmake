# board.cmake -- what the appliance's board needs of every build.
#
# A 32-bit target (the ARM board) gets 64-bit time_t and file offsets, so that
# recording names, history times and notice dates after 2038 and files, du
# and df figures and hand-off sizes above 2 GiB come out as on a 64-bit host.
# Needs glibc 2.34 or later on the board.
if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  add_compile_definitions(_FILE_OFFSET_BITS=64 _TIME_BITS=64)
endif()

# The programs linked statically, for a firmware without the shared C and C++
# libraries (applied in install.cmake, once every program target is known).
option(NAS_STATIC "Link the appliance's programs statically" OFF)
