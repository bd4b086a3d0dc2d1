// The methods, properties and representation of PhaseHVec.
#pragma once

#include <Python.h>

namespace tesmerine {

extern PyMethodDef kPhaseHVecMethods[];
extern PyGetSetDef kPhaseHVecGetSet[];

PyObject* phase_hvec_repr(PyObject* self);

// Casts a (self, args, kwargs) entry point to the type the method tables hold.
template <class Function>
PyCFunction as_method(Function function) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(function));
}

}  // namespace tesmerine
