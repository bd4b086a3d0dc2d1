// Error reporting shared by every entry point: the PanicException class,
// the wrong-type error, and the guard at each boundary between the
// interpreter and C++.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>

#include "core/core_error.hpp"
#include "py_ref.hpp"

namespace tesmerine {

// Sets PanicException(message) as the current exception (or, should the
// class itself fail to be made, the error of that attempt).
void set_panic(const char* message) noexcept;

// For the places that deliberately drop an error (a length hint, a type's
// name for a message, a note): clears the current exception if it is an
// ordinary error (an Exception subclass). Anything else (KeyboardInterrupt,
// SystemExit, another BaseException) stays set and PythonError is thrown.
void clear_ordinary_error();

// Runs the handlers of pending signals; throws PythonError if one raised.
// Given to the core as its interruption check during long computations.
void check_signals();

// Throws PythonError after setting
//   TypeError "'<type>' object is not an instance of '<expected>'"
// ("'None' is not an instance of '<expected>'" for None), <expected> being
// the __qualname__ of expected_type.
[[noreturn]] void throw_wrong_type(PyObject* obj, PyObject* expected_type);

// Runs body() and maps every C++ failure onto a Python exception, so that
// no C++ exception reaches the interpreter:
//   PythonError      -> the exception already set
//   UserError        -> ValueError with the core's message
//   InternalFailure  -> PanicException with its message
//   std::bad_alloc   -> MemoryError
//   anything else    -> PanicException
// Returns body()'s result, or `failed` when an exception was set.
template <class Result, class Body>
Result guarded(Result failed, Body&& body) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
  } catch (const core::UserError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const core::InternalFailure& e) {
    set_panic(e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    set_panic("capacity overflow");
  } catch (const std::exception& e) {
    set_panic(e.what());
  } catch (...) {
    set_panic("unknown internal failure");
  }
  return failed;
}

template <class Body>
PyObject* guarded_call(Body&& body) noexcept {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

}  // namespace tesmerine
