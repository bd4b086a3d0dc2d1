// The PhaseHVec class: its instance layout, the class object (made once per
// process) and the step that wraps a finished record into a new instance.
#pragma once

#include <Python.h>

#include "core/phase_hvec.hpp"
#include "py_ref.hpp"

namespace tesmerine {

// The class object, made on first need; borrowed. Throws PythonError if the
// interpreter refuses the type spec.
PyObject* phase_hvec_class();

// The instance layout.
struct PhaseHVecObject {
  PyObject_HEAD
  core::PhaseHVec record;
};

namespace detail {
// The class once it has been made, else nullptr; set once, never cleared.
extern PyTypeObject* made_class;
// is_phase_hvec for any object whose type is not the class itself.
bool is_phase_hvec_slow(PyObject* obj);
}  // namespace detail

// True for instances of PhaseHVec (or of a subtype).
inline bool is_phase_hvec(PyObject* obj) {
  return (detail::made_class != nullptr && Py_TYPE(obj) == detail::made_class) || detail::is_phase_hvec_slow(obj);
}

// The record inside an instance; obj must be a PhaseHVec.
inline const core::PhaseHVec& record_of(PyObject* obj) { return reinterpret_cast<PhaseHVecObject*>(obj)->record; }

// A new PhaseHVec owning the record. If allocation fails the record is
// released and the interpreter's error is raised (PythonError).
PyRef wrap_record(core::PhaseHVec&& record);

}  // namespace tesmerine
