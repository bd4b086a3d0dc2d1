// A PhaseHVec instance as the rest of the surface sees it: the layout behind
// the object header, the test for an instance, and the step that wraps a
// finished record into a new instance. The class itself (its slots, methods,
// properties and type spec) is defined in phase_hvec_class.cpp.
#pragma once

#include <Python.h>

#include "core/phase_hvec.hpp"
#include "py_ref.hpp"

namespace tesmerine {

// The instance layout.
struct PhaseHVecObject {
  PyObject_HEAD
  core::PhaseHVec record;
};

// The class object, made on first need; borrowed. Throws PythonError if the
// interpreter refuses the type spec.
PyObject* phase_hvec_class();

namespace detail {
// The class once it has been made, else nullptr; set once, never cleared.
extern PyTypeObject* made_class;
}  // namespace detail

// True for instances of PhaseHVec. The class is not a base type, so an
// instance's type is the class itself; before the class is made no instance
// exists and nothing matches.
inline bool is_phase_hvec(PyObject* obj) { return Py_TYPE(obj) == detail::made_class; }

// The record inside an instance; obj must be a PhaseHVec.
inline const core::PhaseHVec& record_of(PyObject* obj) { return reinterpret_cast<PhaseHVecObject*>(obj)->record; }

// A new PhaseHVec owning the record. If allocation fails the record is
// released and the interpreter's error is raised (PythonError).
PyRef wrap_record(core::PhaseHVec&& record);

}  // namespace tesmerine
