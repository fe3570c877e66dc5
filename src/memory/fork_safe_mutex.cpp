#include "memory/fork_safe_mutex.hpp"

#if defined(__unix__)
#include <pthread.h>
#endif

namespace vantrel {

// The live instances, and the handlers that lock them all around a fork.
struct ForkRegistry {
  std::mutex mutex;  // guards the list; taken before any instance
  ForkSafeMutex* first = nullptr;

  // Never destroyed: instances may outlive the statics of this file at exit.
  static ForkRegistry& get() {
    static ForkRegistry* const registry = [] {
      auto* created = new ForkRegistry;
#if defined(__unix__)
      // Without the handlers the instances are plain mutexes, as before a fork.
      (void)pthread_atfork(&before_fork, &after_fork, &after_fork);
#endif
      return created;
    }();
    return *registry;
  }

  static void before_fork() noexcept {
    ForkRegistry& registry = get();
    registry.mutex.lock();
    for (ForkSafeMutex* m = registry.first; m != nullptr; m = m->next_) m->mutex_.lock();
  }
  // In the parent and in the child alike: the forking thread holds every lock.
  static void after_fork() noexcept {
    ForkRegistry& registry = get();
    for (ForkSafeMutex* m = registry.first; m != nullptr; m = m->next_) m->mutex_.unlock();
    registry.mutex.unlock();
  }
};

ForkSafeMutex::ForkSafeMutex() noexcept : registry_(&ForkRegistry::get()) {
  ForkRegistry& registry = *registry_;
  std::lock_guard lock(registry.mutex);
  next_ = registry.first;
  if (next_ != nullptr) next_->previous_ = this;
  registry.first = this;
}

ForkSafeMutex::~ForkSafeMutex() {
  ForkRegistry& registry = *registry_;
  std::lock_guard lock(registry.mutex);
  if (previous_ != nullptr) {
    previous_->next_ = next_;
  } else {
    registry.first = next_;
  }
  if (next_ != nullptr) next_->previous_ = previous_;
}

}  // namespace vantrel
