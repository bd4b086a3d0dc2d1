// How a long computation of the core can be stopped from outside. The core
// polls the caller's check between the stages of its long loops (resonator
// sweeps, blocks of a bundle fold). The check either returns, and the
// computation goes on exactly as if it had not been called, or throws; the
// exception then leaves the core, every scratch buffer of the call being
// released on the way, and nothing is returned.
#pragma once

namespace tesmerine::core {

using InterruptCheck = void (*)();

inline void poll(InterruptCheck check) {
  if (check != nullptr) check();
}

}  // namespace tesmerine::core
