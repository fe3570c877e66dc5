// Work shared out over threads started for it, for the decodes that split
// their output between threads (each thread writes a range of its own).
#pragma once

#include <cstddef>
#include <exception>
#include <system_error>
#include <thread>
#include <vector>

namespace vantrel {

// Runs work(0) ... work(count - 1), each on a thread of its own but the
// first, which runs on the calling thread; a thread that cannot be started
// leaves its work to the calling thread. Rethrows the first exception.
template <class Work>
void run_parallel(std::size_t count, Work&& work) {
  std::vector<std::exception_ptr> failures(count);
  auto guarded = [&](std::size_t i) {
    try {
      work(i);
    } catch (...) {
      failures[i] = std::current_exception();
    }
  };
  std::vector<std::thread> threads;
  std::vector<std::size_t> left;  // work no thread took
  threads.reserve(count);
  for (std::size_t i = 1; i < count; ++i) {
    try {
      threads.emplace_back(guarded, i);
    } catch (const std::system_error&) {
      left.push_back(i);
    }
  }
  guarded(0);
  for (std::size_t i : left) guarded(i);
  for (std::thread& thread : threads) thread.join();
  for (const std::exception_ptr& failure : failures) {
    if (failure) std::rethrow_exception(failure);
  }
}

}  // namespace vantrel
