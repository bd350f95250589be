# Cross-compiling for s390x Linux, a big-endian processor, with Debian's
# g++-s390x-linux-gnu, tested under qemu-user: it checks that nothing
# assumes a byte order.
set(diagonal_picks_triple s390x-linux-gnu)
include(${CMAKE_CURRENT_LIST_DIR}/debian-cross.cmake)
