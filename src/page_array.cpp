#include "page_array.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "out_of_memory.h"

namespace diagonal_picks::page_mapping {

std::size_t round_to_pages(std::size_t bytes) {
  static const auto page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

std::size_t round_to_huge_pages(std::size_t bytes) {
  constexpr std::size_t kHugePage = std::size_t{2} << 20;  // x86-64's, and aarch64's with 4 KiB pages
  return (bytes + kHugePage - 1) / kHugePage * kHugePage;
}

void* map(std::size_t bytes) {
  void* const mapping = ::mmap(nullptr, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) out_of_memory();
  return mapping;
}

// ThreadSanitizer does not follow mremap: the range a mapping moved away
// from keeps the history of the thread that used it, so a later mapping at
// that address, in another thread, would look shared. Under it, the copy.
#if defined(__SANITIZE_THREAD__)
#define DIAGONAL_PICKS_NO_MREMAP
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
#define DIAGONAL_PICKS_NO_MREMAP
#endif
#endif

void* remap(void* mapping, std::size_t current, std::size_t wanted) {
#if defined(__linux__) && !defined(DIAGONAL_PICKS_POSIX_FALLBACK) && !defined(DIAGONAL_PICKS_NO_MREMAP)
  void* const moved = ::mremap(mapping, current, wanted, MREMAP_MAYMOVE);
  if (moved == MAP_FAILED) out_of_memory();
  return moved;
#else
  // Without mremap: give back the tail when shrinking, copy when growing.
  if (wanted < current) {
    unmap(static_cast<char*>(mapping) + wanted, current - wanted);
    return mapping;
  }
  void* const moved = map(wanted);
  std::memcpy(moved, mapping, current);
  unmap(mapping, current);
  return moved;
#endif
}

void unmap(void* mapping, std::size_t bytes) noexcept {
  // Whole pages of a mapping this process made, so this cannot fail.
  if (bytes != 0) ::munmap(mapping, bytes);
}

void advise_huge_pages(void* mapping, std::size_t bytes, bool huge) noexcept {
#if defined(MADV_HUGEPAGE) && !defined(DIAGONAL_PICKS_POSIX_FALLBACK)
  // Only a hint: where huge pages are off or unknown, nothing changes.
  if (bytes != 0) ::madvise(mapping, bytes, huge ? MADV_HUGEPAGE : MADV_NOHUGEPAGE);
#else
  (void)mapping;
  (void)bytes;
  (void)huge;
#endif
}

}  // namespace diagonal_picks::page_mapping
