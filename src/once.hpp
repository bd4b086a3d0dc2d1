// One-time initialisation of process-wide values under the interpreter lock.
//
// The interpreter lock itself guards the guard's state: the thread that
// finds the value not yet made records itself as its maker and makes it,
// with the lock held (make() may give the lock up, for an import, say). A
// thread that finds another thread making the value gives up the
// interpreter lock while it waits, so it never waits while holding it, and
// the value is made only once.
//
// There is no mutex to be inherited locked: a process forked while some
// thread was making a value has only the forking thread, so a maker
// recorded by another process is no maker at all, and the child makes the
// value itself. A call back into the module from the making thread (an
// import hook or a profiler run by make()) cannot wait for itself; it gets
// a RuntimeError instead, and the outer call goes on.
#pragma once

#include <Python.h>
#ifdef _WIN32
#include <process.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "py_ref.hpp"

namespace tesmerine {

class OnceGuard {
 public:
  constexpr OnceGuard() noexcept = default;

  // Runs make() unless an earlier call has completed successfully. make()
  // runs with the interpreter lock held; if it throws, the guard opens again
  // and a later call tries again.
  template <class Make>
  void run(Make&& make) {
    if (done_.load(std::memory_order_acquire)) return;
    const unsigned long me = PyThread_get_thread_ident();
    for (auto pause = std::chrono::microseconds(20);; pause = std::min(pause * 2, std::chrono::microseconds(2000))) {
      if (done_.load(std::memory_order_acquire)) return;
      if (maker_process_ != current_process()) break;  // no maker in this process
      if (maker_thread_ == me) refuse_reentry();
      // Another thread is making the value: let it run, then look again.
      PyThreadState* state = PyEval_SaveThread();
      std::this_thread::sleep_for(pause);
      PyEval_RestoreThread(state);
    }
    maker_process_ = current_process();
    maker_thread_ = me;
    try {
      make();
    } catch (...) {
      maker_process_ = 0;
      throw;
    }
    maker_process_ = 0;
    done_.store(true, std::memory_order_release);
  }

 private:
#ifdef _WIN32
  static long current_process() { return _getpid(); }
#else
  static long current_process() { return static_cast<long>(getpid()); }
#endif

  [[noreturn]] static void refuse_reentry() {
    PyErr_SetString(PyExc_RuntimeError,
                    "tesmerine was called again by the same thread while it was making a once-per-process value "
                    "(for example from an import hook or a profiler); that call cannot wait");
    throw PythonError{};
  }

  std::atomic<bool> done_{false};
  // The thread making the value, and its process; 0 when no one is. Read
  // and written only with the interpreter lock held.
  long maker_process_ = 0;
  unsigned long maker_thread_ = 0;
};

}  // namespace tesmerine
