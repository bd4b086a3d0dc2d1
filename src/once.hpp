// Process-wide values made on first need, under the interpreter lock.
//
// Nothing ever waits for a value: the first call that needs it makes it,
// and so does every call that comes while it is being made. Making one may
// run Python code (an import, a finaliser during an allocation), and while
// it does, another thread, or this one again from an import hook or a
// profiler, may need the value too. Waiting for the maker there could wait
// on a thread that is itself waiting, for the import lock say, on the
// waiter. Instead each such call makes the value itself, and the first one
// finished is published; a value finished later is dropped. That is
// harmless for every value made this way: an interned string, a class
// that nothing has seen yet, a module attribute read twice.
//
// Publishing runs with the interpreter lock held and runs no Python code
// between the test and the store, so exactly one value is ever published
// and no one ever sees another. With no lock of its own, a guard cannot be
// inherited locked by a forked process either: a child forked while some
// thread was making a value makes it again itself.
#pragma once

#include <Python.h>

#include <atomic>
#include <utility>

namespace tesmerine {

class OnceGuard {
 public:
  constexpr OnceGuard() noexcept = default;

  // Unless a value has been published: runs make(), with the interpreter
  // lock held, and then, unless another call published one meanwhile,
  // publish(made), which must store it without running Python code. If
  // make() throws, nothing is published and a later call tries again.
  template <class Make, class Publish>
  void run(Make&& make, Publish&& publish) {
    if (done_.load(std::memory_order_acquire)) return;
    auto made = make();
    if (done_.load(std::memory_order_acquire)) return;  // `made` is dropped
    publish(std::move(made));
    done_.store(true, std::memory_order_release);
  }

 private:
  std::atomic<bool> done_{false};
};

}  // namespace tesmerine
