#include "data/pod_vector.hpp"

#include <cstdint>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace vantrel::pod_block {
namespace {

#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
constexpr bool MAPPED_BLOCKS = true;
#else
constexpr bool MAPPED_BLOCKS = false;
#endif

// Blocks from this size on are mapped on their own, huge-page aligned.
constexpr std::size_t BIG = std::size_t{32} << 20;
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

std::size_t round_up(std::size_t bytes) {
  if (bytes > SIZE_MAX - HUGE_PAGE) throw std::bad_alloc();
  return (bytes + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
}

bool mapped(std::size_t capacity) { return MAPPED_BLOCKS && capacity >= BIG; }

#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
// `bytes` (a multiple of HUGE_PAGE) of fresh memory starting on a huge-page boundary.
void* map_aligned(std::size_t bytes) {
  const std::size_t span = bytes + HUGE_PAGE;
  void* mapping = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapping == MAP_FAILED) throw std::bad_alloc();
  const auto start = reinterpret_cast<std::uintptr_t>(mapping);
  const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~std::uintptr_t{HUGE_PAGE - 1};
  if (aligned > start) munmap(mapping, aligned - start);
  const std::size_t tail = span - (aligned - start) - bytes;
  if (tail != 0) munmap(reinterpret_cast<void*>(aligned + bytes), tail);
  void* block = reinterpret_cast<void*>(aligned);
  // Advice only: a kernel without huge pages refuses it and nothing changes.
  (void)madvise(block, bytes, MADV_HUGEPAGE);
  return block;
}
#endif

}  // namespace

void* resize(void* data, std::size_t used, std::size_t capacity, std::size_t wanted, std::size_t& granted) {
#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
  if (wanted >= BIG) {
    const std::size_t bytes = round_up(wanted);
    if (mapped(capacity)) {
      if (bytes <= capacity) {
        if (bytes < capacity) munmap(static_cast<char*>(data) + bytes, capacity - bytes);
        granted = bytes;
        return data;
      }
      // The pages move to a new aligned place whole, huge pages included; nothing is copied.
      void* target = map_aligned(bytes);
      void* moved = mremap(data, capacity, bytes, MREMAP_MAYMOVE | MREMAP_FIXED, target);
      if (moved == MAP_FAILED) {
        munmap(target, bytes);
        throw std::bad_alloc();
      }
      (void)madvise(moved, bytes, MADV_HUGEPAGE);
      granted = bytes;
      return moved;
    }
    void* block = map_aligned(bytes);
    if (used != 0) std::memcpy(block, data, used);
    std::free(data);
    granted = bytes;
    return block;
  }
#endif
  if (wanted != 0 && wanted < capacity && !mapped(capacity)) {
    // Shrinking a block of the C library: in place, nothing copied.
    void* block = std::realloc(data, wanted);
    if (block == nullptr) throw std::bad_alloc();
    granted = wanted;
    return block;
  }
  void* block = nullptr;
  if (wanted != 0) {
    block = std::malloc(wanted);
    if (block == nullptr) throw std::bad_alloc();
    if (used != 0) std::memcpy(block, data, std::min(used, wanted));
  }
  release(data, capacity);
  granted = wanted;
  return block;
}

void release(void* data, std::size_t capacity) noexcept {
  if (data == nullptr) return;
#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
  if (mapped(capacity)) {
    munmap(data, capacity);
    return;
  }
#endif
  std::free(data);
}

}  // namespace vantrel::pod_block
