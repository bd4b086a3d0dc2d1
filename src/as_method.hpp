// The cast every method table needs.
#pragma once

#include <Python.h>

namespace tesmerine {

// Casts an entry point of any calling convention (here (self, args, kwargs))
// to the PyCFunction type that a PyMethodDef holds; the flags beside it tell
// the interpreter how to call it.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tesmerine
