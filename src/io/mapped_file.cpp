#include "io/mapped_file.hpp"

#include <signal.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <limits>
#include <mutex>

namespace vantrel {
namespace {

constexpr std::uint64_t NOTHING_LOST = std::numeric_limits<std::uint64_t>::max();

// One open map as the signal handler sees it: [begin, end) in whole pages
// (begin 0: a free entry) and the lowest offset of a page lost so far.
struct Slot {
  std::atomic<bool> taken{false};
  std::atomic<std::uintptr_t> begin{0};
  std::atomic<std::uintptr_t> end{0};
  std::atomic<std::uint64_t> lost{NOTHING_LOST};
};
static_assert(std::atomic<std::uintptr_t>::is_always_lock_free && std::atomic<std::uint64_t>::is_always_lock_free,
              "the signal handler reads the table without locks");

std::array<Slot, MappedFile::MAX_MAPS> slots;
std::uintptr_t page_size = 0;     // set before the handler is installed
struct sigaction previous_action;  // the handler that was there before ours
std::once_flag install_once;
int install_error = 0;

// Hands a fault that is not ours to the handler before ours; with none, the
// default action is restored and the faulting read, made again, ends the process.
void forward(int signal, siginfo_t* info, void* context) {
  if ((previous_action.sa_flags & SA_SIGINFO) != 0 && previous_action.sa_sigaction != nullptr) {
    previous_action.sa_sigaction(signal, info, context);
    return;
  }
  if (previous_action.sa_handler != SIG_DFL && previous_action.sa_handler != SIG_IGN) {
    previous_action.sa_handler(signal);
    return;
  }
  struct sigaction fallback {};
  fallback.sa_handler = SIG_DFL;
  sigemptyset(&fallback.sa_mask);
  ::sigaction(signal, &fallback, nullptr);
}

void on_bus_error(int signal, siginfo_t* info, void* context) {
  const int saved_errno = errno;
  const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
  for (Slot& slot : slots) {
    const std::uintptr_t begin = slot.begin.load(std::memory_order_acquire);
    if (begin == 0 || address < begin || address >= slot.end.load(std::memory_order_acquire)) continue;
    const std::uintptr_t page = address & ~(page_size - 1);
    // mmap is a plain system call on Linux, safe in a handler: a private page
    // of zeros takes the vanished page's place, and the read goes on.
    void* zeros = ::mmap(reinterpret_cast<void*>(page), page_size, PROT_READ,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_FIXED, -1, 0);
    if (zeros == MAP_FAILED) break;
    const std::uint64_t offset = page - begin;
    std::uint64_t lost = slot.lost.load(std::memory_order_relaxed);
    while (offset < lost && !slot.lost.compare_exchange_weak(lost, offset, std::memory_order_acq_rel)) {
    }
    errno = saved_errno;
    return;
  }
  errno = saved_errno;
  forward(signal, info, context);
}

void install_handler() {
  const long size = ::sysconf(_SC_PAGESIZE);
  page_size = size > 0 ? static_cast<std::uintptr_t>(size) : 4096;
  struct sigaction action {};
  action.sa_sigaction = on_bus_error;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESTART;
  sigemptyset(&action.sa_mask);
  if (::sigaction(SIGBUS, &action, &previous_action) != 0) install_error = errno;
}

}  // namespace

Result<MappedFile> MappedFile::map(int fd) {
  std::call_once(install_once, install_handler);
  if (install_error != 0) return fail(BufrError::os(install_error));
  struct stat info;
  if (::fstat(fd, &info) != 0) return fail(BufrError::os(errno));
  if (!S_ISREG(info.st_mode) || info.st_size <= 0) return fail(BufrError::os(ENODEV));
  if (static_cast<std::uint64_t>(info.st_size) > std::numeric_limits<std::size_t>::max() - page_size)
    return fail(BufrError::os(EFBIG));
  const auto size = static_cast<std::size_t>(info.st_size);
  int slot = -1;
  for (int i = 0; i < MAX_MAPS; ++i) {
    if (!slots[static_cast<std::size_t>(i)].taken.exchange(true, std::memory_order_acq_rel)) {
      slot = i;
      break;
    }
  }
  if (slot < 0) return fail(BufrError::os(EMFILE));
  FileDescriptor own(::fcntl(fd, F_DUPFD_CLOEXEC, 0));
  if (!own.is_open()) {
    const int error = errno;
    slots[static_cast<std::size_t>(slot)].taken.store(false, std::memory_order_release);
    return fail(BufrError::os(error));
  }
  void* address = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
  if (address == MAP_FAILED) {
    const int error = errno;
    slots[static_cast<std::size_t>(slot)].taken.store(false, std::memory_order_release);
    return fail(BufrError::os(error));
  }
  Slot& entry = slots[static_cast<std::size_t>(slot)];
  const auto begin = reinterpret_cast<std::uintptr_t>(address);
  entry.lost.store(NOTHING_LOST, std::memory_order_relaxed);
  entry.end.store(begin + (size + page_size - 1) / page_size * page_size, std::memory_order_relaxed);
  entry.begin.store(begin, std::memory_order_release);
  MappedFile file;
  file.file_ = std::move(own);
  file.data_ = static_cast<const std::uint8_t*>(address);
  file.size_ = size;
  file.slot_ = slot;
  return file;
}

std::optional<std::uint64_t> MappedFile::lost_from() const {
  if (slot_ < 0) return std::nullopt;
  std::uint64_t lost = slots[static_cast<std::size_t>(slot_)].lost.load(std::memory_order_acquire);
  struct stat info;
  if (::fstat(file_.get(), &info) == 0 && info.st_size >= 0 && static_cast<std::uint64_t>(info.st_size) < size_)
    lost = std::min(lost, static_cast<std::uint64_t>(info.st_size));
  if (lost == NOTHING_LOST) return std::nullopt;
  return lost;
}

void MappedFile::release() noexcept {
  if (slot_ >= 0) {
    Slot& entry = slots[static_cast<std::size_t>(slot_)];
    entry.begin.store(0, std::memory_order_release);
    entry.end.store(0, std::memory_order_release);
  }
  if (data_ != nullptr) ::munmap(const_cast<std::uint8_t*>(data_), size_);
  if (slot_ >= 0) slots[static_cast<std::size_t>(slot_)].taken.store(false, std::memory_order_release);
  file_ = FileDescriptor();
  data_ = nullptr;
  size_ = 0;
  slot_ = -1;
}

}  // namespace vantrel
