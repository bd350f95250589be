#pragma once

#include <algorithm>
#include <cstddef>
#include <span>
#include <type_traits>
#include <utility>

namespace diagonal_picks {

namespace page_mapping {
// Whole pages of zeroed memory, or the out-of-memory exit.
void* map(std::size_t bytes);
// Resizes a mapping, keeping the first min(current, wanted) bytes; it may
// move. Pages it adds read as zero.
void* remap(void* mapping, std::size_t current, std::size_t wanted);
void unmap(void* mapping, std::size_t bytes) noexcept;
// Asks for the mapping to be backed by huge pages where they fit, or no
// longer; a hint that may be ignored. The advice stays with the mapping as
// it is resized.
void advise_huge_pages(void* mapping, std::size_t bytes, bool huge) noexcept;

std::size_t round_to_pages(std::size_t bytes);
std::size_t round_to_huge_pages(std::size_t bytes);
}  // namespace page_mapping

// A growable array of plain values in a page mapping of its own. It grows
// and shrinks by remapping pages, which Linux does without copying, and the
// pages it gives up go back to the system at once, so large arrays cannot
// fragment the heap. Move-only: it owns its mapping.
//
// Growing keeps the values below the old size; values above it are whatever
// the pages last held (zero when the pages are fresh).
template <class T>
class PageArray {
  static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);

 public:
  PageArray() = default;
  PageArray(const PageArray&) = delete;
  PageArray& operator=(const PageArray&) = delete;
  PageArray(PageArray&& other) noexcept
      : data_(std::exchange(other.data_, nullptr)),
        size_(std::exchange(other.size_, 0)),
        bytes_(std::exchange(other.bytes_, 0)),
        huge_pages_(std::exchange(other.huge_pages_, false)) {}
  PageArray& operator=(PageArray&& other) noexcept {
    PageArray moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~PageArray() {
    if (data_ != nullptr) page_mapping::unmap(data_, bytes_);
  }

  std::size_t size() const { return size_; }
  std::size_t capacity() const { return bytes_ / sizeof(T); }
  bool empty() const { return size_ == 0; }
  T* data() { return data_; }
  const T* data() const { return data_; }
  T& operator[](std::size_t i) { return data_[i]; }
  const T& operator[](std::size_t i) const { return data_[i]; }
  std::span<T> span() { return {data_, size_}; }
  std::span<const T> span() const { return {data_, size_}; }

  // Makes room for at least `count` values, doubling so that a run of
  // small growths costs linear time.
  void reserve(std::size_t count) {
    if (count > capacity()) set_capacity(std::max(count, 2 * capacity()));
  }
  // Makes room for exactly `count` values (whole pages), for callers that
  // grow in steps of their own to keep the slack small.
  void reserve_exactly(std::size_t count) {
    if (count > capacity()) set_capacity(count);
  }

  void resize(std::size_t count) {
    reserve(count);
    size_ = count;
  }
  void push_back(const T& value) {
    if (size_ == capacity()) reserve(size_ + 1);
    data_[size_++] = value;
  }
  void clear() { size_ = 0; }

  bool prefers_huge_pages() const { return huge_pages_; }

  // Whether pages touched from now on should be huge ones: fewer faults,
  // but each one commits 2 MiB at once. The whole mapping takes the
  // advice, since a mapping split by advice could not be resized.
  void prefer_huge_pages(bool huge) {
    if (huge == huge_pages_) return;
    huge_pages_ = huge;
    if (data_ != nullptr) page_mapping::advise_huge_pages(data_, bytes_, huge);
  }

  // Gives every page beyond `count` values (or the size, if larger) back
  // to the system.
  void shrink_to(std::size_t count) {
    const std::size_t keep = std::max(count, size_);
    if (page_mapping::round_to_pages(keep * sizeof(T)) < bytes_) set_capacity(keep);
  }

  void swap(PageArray& other) noexcept {
    std::swap(data_, other.data_);
    std::swap(size_, other.size_);
    std::swap(bytes_, other.bytes_);
    std::swap(huge_pages_, other.huge_pages_);
  }

 private:
  void set_capacity(std::size_t count) {
    // Whole huge pages where they are preferred: Linux places a mapping of
    // whole huge pages on a huge page's boundary, so every huge page it
    // spans lies wholly inside and can be one.
    const std::size_t bytes = huge_pages_ ? page_mapping::round_to_huge_pages(count * sizeof(T))
                                          : page_mapping::round_to_pages(count * sizeof(T));
    if (bytes == 0) {
      page_mapping::unmap(data_, bytes_);
      data_ = nullptr;
    } else {
      data_ = static_cast<T*>(data_ == nullptr ? page_mapping::map(bytes) : page_mapping::remap(data_, bytes_, bytes));
      // Again after a remap, which may have copied into a new mapping.
      if (huge_pages_) page_mapping::advise_huge_pages(data_, bytes, true);
    }
    bytes_ = bytes;
  }

  T* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t bytes_ = 0;  // the mapping's length, whole pages
  bool huge_pages_ = false;
};

}  // namespace diagonal_picks
