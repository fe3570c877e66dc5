#include "memory/pod_vector.hpp"

#include "memory/fork_safe_mutex.hpp"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <system_error>
#include <thread>
#include <utility>

#include <unistd.h>

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
  void* mapping = mmap(nullptr, span, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
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

// Released blocks kept for the next output. Filling fresh pages costs more
// than the decode that writes them (the kernel clears every page first), so a
// process that decodes file after file reuses the pages of the arrays it has
// let go, as allocators with a retained-memory decay do (a HIRS file decodes
// in 170 ms with them, 300 ms without). At most `limit` bytes are kept, none
// for longer than RETAIN_SECONDS after its release: a thread of the cache's
// own gives each block back to the system on time, and ends once the cache is
// empty, so an idle process keeps neither memory nor a thread.
class Retained {
 public:
  using Dispose = void (*)(void*, std::size_t) noexcept;
  static constexpr auto RETAIN_SECONDS = std::chrono::seconds(5);
  static constexpr std::size_t SLOTS = 64;

  Retained(Dispose dispose, std::size_t limit) : dispose_(dispose), limit_(limit) {}

  // The kept block nearest in size to `bytes` (blocks of arrays released
  // together come back for arrays of the same sizes), or {null, 0}.
  std::pair<void*, std::size_t> take_nearest(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    expire(Clock::now());
    if (count_ == 0) return {nullptr, 0};
    std::size_t best = 0;
    for (std::size_t i = 1; i < count_; ++i) {
      if (distance(blocks_[i].bytes, bytes) < distance(blocks_[best].bytes, bytes)) best = i;
    }
    const Block block = remove(best);
    return {block.data, block.bytes};
  }

  // The smallest kept block of `bytes` to 4 * `bytes`, or {null, 0}.
  std::pair<void*, std::size_t> take_fit(std::size_t bytes) {
    std::lock_guard lock(mutex_);
    expire(Clock::now());
    std::size_t best = SLOTS;
    for (std::size_t i = 0; i < count_; ++i) {
      const std::size_t size = blocks_[i].bytes;
      if (size >= bytes && size / 4 <= bytes && (best == SLOTS || size < blocks_[best].bytes)) best = i;
    }
    if (best == SLOTS) return {nullptr, 0};
    const Block block = remove(best);
    return {block.data, block.bytes};
  }

  // Keeps the block [data, data + bytes) or disposes of it.
  void give(void* data, std::size_t bytes) noexcept {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    expire(now);
    if (bytes > limit_) {
      dispose_(data, bytes);
      return;
    }
    while (count_ == SLOTS || total_ + bytes > limit_) dispose(remove(0));  // the oldest first
    insert(Block{data, bytes, now});
    start_expiry();
  }

 private:
  using Clock = std::chrono::steady_clock;
  struct Block {
    void* data = nullptr;
    std::size_t bytes = 0;
    Clock::time_point released;
  };

  static std::size_t distance(std::size_t a, std::size_t b) { return a > b ? a - b : b - a; }

  // Starts the thread that expires the kept blocks, unless it runs (in this
  // process: a forked child has no copy of its parent's thread). Without a
  // thread (the system refused one) blocks expire at the next allocation.
  void start_expiry() noexcept {
    const pid_t self = ::getpid();
    if (expiring_in_ == self) return;
    try {
      std::thread([this] { expire_on_time(); }).detach();
      expiring_in_ = self;
    } catch (const std::system_error&) {
    }
  }
  void expire_on_time() {
    std::unique_lock lock(mutex_);
    while (count_ != 0) {
      // Nothing wakes the thread early: it only ever waits for the oldest block's time.
      wake_.wait_until(lock, blocks_[0].released + RETAIN_SECONDS + std::chrono::milliseconds(1));
      expire(Clock::now());
    }
    expiring_in_ = 0;
  }
  void expire(Clock::time_point now) noexcept {
    while (count_ != 0 && now - blocks_[0].released > RETAIN_SECONDS) dispose(remove(0));
  }
  void dispose(const Block& block) noexcept { dispose_(block.data, block.bytes); }
  // Blocks stay in release order, the oldest at 0.
  void insert(const Block& block) noexcept {
    std::size_t i = count_;
    while (i != 0 && blocks_[i - 1].released > block.released) {
      blocks_[i] = blocks_[i - 1];
      --i;
    }
    blocks_[i] = block;
    ++count_;
    total_ += block.bytes;
  }
  Block remove(std::size_t i) noexcept {
    const Block block = blocks_[i];
    for (; i + 1 < count_; ++i) blocks_[i] = blocks_[i + 1];
    --count_;
    total_ -= block.bytes;
    return block;
  }

  const Dispose dispose_;
  const std::size_t limit_;
  ForkSafeMutex mutex_;
  std::condition_variable_any wake_;
  pid_t expiring_in_ = 0;  // the process whose thread expires the blocks, or 0
  Block blocks_[SLOTS];
  std::size_t count_ = 0;
  std::size_t total_ = 0;
};

// Blocks of the C library from MEDIUM bytes on (smaller ones the library
// itself keeps warm), at most 256 MiB of them: the C library maps blocks of
// this size on their own and unmaps them when freed, so every decode of a
// few megabytes would start from fresh pages. Never destroyed: arrays may be
// released while the process exits.
constexpr std::size_t MEDIUM = std::size_t{64} << 10;
Retained& retained_medium() {
  static Retained* const instance =
      new Retained([](void* data, std::size_t) noexcept { std::free(data); }, std::size_t{256} << 20);
  return *instance;
}

// A block of the C library for `wanted` bytes, its size in `granted`: a kept one when one fits.
void* allocate(std::size_t wanted, std::size_t& granted) {
  if (wanted >= MEDIUM) {
    const auto [kept, kept_bytes] = retained_medium().take_fit(wanted);
    if (kept != nullptr) {
      granted = kept_bytes;
      return kept;
    }
  }
  void* block = std::malloc(wanted);
  if (block == nullptr) throw std::bad_alloc();
  granted = wanted;
  return block;
}

#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
// Mapped blocks (BIG bytes on), at most 1 GiB of them.
Retained& retained() {
  static Retained* const instance =
      new Retained([](void* data, std::size_t bytes) noexcept { munmap(data, bytes); }, std::size_t{1} << 30);
  return *instance;
}

// Fresh aligned memory of `preferred` bytes, or of `needed` bytes when the
// address space allowed (ulimit -v, a batch system's limit) has no room for
// more; its size in `granted`.
void* map_reserved(std::size_t needed, std::size_t preferred, std::size_t& granted) {
  try {
    granted = preferred;
    return map_aligned(preferred);
  } catch (const std::bad_alloc&) {
    if (preferred == needed) throw;
  }
  granted = needed;
  return map_aligned(needed);
}

// A mapped block for `wanted` bytes (at least BIG), its size in `granted`:
// address space for growing in place (RESERVE_FACTOR times `wanted`, in
// proportion to what is asked for; pages given only where written), starting
// with the pages of a kept block when there is one.
constexpr std::size_t RESERVE_FACTOR = 2;

void* map_block(std::size_t wanted, std::size_t& granted) {
  std::size_t reserve = 0;
  void* target = map_reserved(round_up(wanted),
                              round_up(wanted > SIZE_MAX / RESERVE_FACTOR ? wanted : wanted * RESERVE_FACTOR), reserve);
  const auto [kept, kept_bytes] = retained().take_nearest(wanted);
  if (kept != nullptr) {
    // The kept pages move to the head of the new block; nothing is copied.
    const std::size_t moving = std::min(kept_bytes, reserve);
    if (mremap(kept, moving, moving, MREMAP_MAYMOVE | MREMAP_FIXED, target) == MAP_FAILED) {
      munmap(kept, kept_bytes);
    } else if (moving < kept_bytes) {
      munmap(static_cast<char*>(kept) + moving, kept_bytes - moving);
    }
    (void)madvise(target, reserve, MADV_HUGEPAGE);
  }
  granted = reserve;
  return target;
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
      std::size_t reserve = 0;
      void* target = map_reserved(bytes, bytes > SIZE_MAX / 2 ? bytes : round_up(bytes * 2), reserve);
      void* moved = mremap(data, capacity, reserve, MREMAP_MAYMOVE | MREMAP_FIXED, target);
      if (moved == MAP_FAILED) {
        // A block made of a kept block's pages and fresh ones is two mappings, which
        // mremap does not move as one: copy instead.
        munmap(target, reserve);
        void* block = map_block(bytes, granted);
        if (used != 0) std::memcpy(block, data, used);
        munmap(data, capacity);
        return block;
      }
      (void)madvise(moved, reserve, MADV_HUGEPAGE);
      granted = reserve;
      return moved;
    }
    void* block = map_block(bytes, granted);
    if (used != 0) std::memcpy(block, data, used);
    std::free(data);
    return block;
  }
#endif
  if (wanted != 0 && wanted < capacity && !mapped(capacity)) {
    if (capacity >= MEDIUM && capacity - wanted <= capacity / 2) {
      // Kept whole: the block can serve a like-sized output again once released.
      granted = capacity;
      return data;
    }
    // Shrinking a block of the C library: in place, nothing copied.
    void* block = std::realloc(data, wanted);
    if (block == nullptr) throw std::bad_alloc();
    granted = wanted;
    return block;
  }
  void* block = nullptr;
  granted = 0;
  if (wanted != 0) {
    block = allocate(wanted, granted);
    if (used != 0) std::memcpy(block, data, std::min(used, wanted));
  }
  release(data, capacity);
  return block;
}

void release(void* data, std::size_t capacity) noexcept {
  if (data == nullptr) return;
#if defined(__linux__) && defined(MREMAP_FIXED) && defined(MADV_HUGEPAGE)
  if (mapped(capacity)) {
    retained().give(data, capacity);
    return;
  }
#endif
  if (capacity >= MEDIUM) {
    retained_medium().give(data, capacity);
    return;
  }
  std::free(data);
}

}  // namespace vantrel::pod_block
