// A mutex that a fork never leaves locked in the child.
#pragma once

#include <mutex>

namespace vantrel {

// The decodes run on threads of their own, without the interpreter lock, so a
// program may fork while one of them holds a lock of the core; the child's copy
// of that lock would then stay locked for good, held by a thread that does not
// exist there. Every live instance of this class is locked by the forking
// thread just before the fork and unlocked on both sides after it. A thread
// never holds two of them at once (the fork locks them in its own order).
//
// An instance remembers the list it joined and leaves that same list.
struct ForkRegistry;

class ForkSafeMutex {
 public:
  ForkSafeMutex() noexcept;
  ~ForkSafeMutex();
  ForkSafeMutex(const ForkSafeMutex&) = delete;
  ForkSafeMutex& operator=(const ForkSafeMutex&) = delete;

  void lock() { mutex_.lock(); }
  void unlock() { mutex_.unlock(); }

 private:
  friend struct ForkRegistry;
  std::mutex mutex_;
  ForkRegistry* registry_;             // the list of live instances it is on
  ForkSafeMutex* previous_ = nullptr;
  ForkSafeMutex* next_ = nullptr;
};

}  // namespace vantrel
