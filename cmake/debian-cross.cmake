# Cross-compiling with Debian's g++-TRIPLE for `diagonal_picks_triple`, set
# by the toolchain file that includes this one; the tests run under
# qemu-user, which CTest puts in front of every test program.
set(CMAKE_SYSTEM_NAME Linux)
string(REGEX REPLACE "-.*" "" CMAKE_SYSTEM_PROCESSOR ${diagonal_picks_triple})
set(CMAKE_C_COMPILER ${diagonal_picks_triple}-gcc)
set(CMAKE_CXX_COMPILER ${diagonal_picks_triple}-g++)
set(CMAKE_FIND_ROOT_PATH /usr/${diagonal_picks_triple})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
set(CMAKE_CROSSCOMPILING_EMULATOR qemu-${CMAKE_SYSTEM_PROCESSOR} -L /usr/${diagonal_picks_triple})
