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

// True for instances of PhaseHVec (or of a subtype).
bool is_phase_hvec(PyObject* obj);

// The record inside an instance; obj must be a PhaseHVec.
const core::PhaseHVec& record_of(PyObject* obj);

// A new PhaseHVec owning the record. If allocation fails the record is
// released and the interpreter's error is raised (PythonError).
PyRef wrap_record(core::PhaseHVec&& record);

}  // namespace tesmerine
