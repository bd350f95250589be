# Cross-compiling for aarch64 Linux with Debian's g++-aarch64-linux-gnu,
# tested under qemu-user.
set(diagonal_picks_triple aarch64-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
