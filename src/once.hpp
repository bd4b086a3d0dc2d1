// One-time initialisation of process-wide values under the interpreter lock.
//
// A thread that finds the value not yet made gives up the interpreter lock
// while it takes (or waits for) the guard, and takes the lock back before
// making the value. No thread ever waits for the guard while holding the
// interpreter lock, so a maker that runs Python code (an import, a type
// creation) cannot deadlock with a waiter, and the value is made only once.
#pragma once

#include <Python.h>

#include <atomic>
#include <mutex>

namespace tesmerine {

class OnceGuard {
 public:
  // Runs make() unless an earlier call has completed successfully. make()
  // runs with the interpreter lock held; if it throws, the guard stays open
  // and a later call tries again.
  template <class Make>
  void run(Make&& make) {
    if (done_.load(std::memory_order_acquire)) return;
    std::unique_lock<std::mutex> lock(mutex_, std::defer_lock);
    PyThreadState* state = PyEval_SaveThread();
    lock.lock();
    PyEval_RestoreThread(state);
    if (done_.load(std::memory_order_relaxed)) return;
    make();
    done_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> done_{false};
  std::mutex mutex_;
};

}  // namespace tesmerine
