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
// class itself fail to be made, the error of that attempt). Making the
// class may run Python code, so a forced unwind (see guarded) can pass
// through here.
void set_panic(const char* message);

// For the places that deliberately drop an error (a length hint, a type's
// name for a message, a note): clears the current exception if it is an
// ordinary error (an Exception subclass). Anything else (KeyboardInterrupt,
// SystemExit, another BaseException) stays set and PythonError is thrown.
void clear_ordinary_error();

// Runs the handlers of pending signals; throws PythonError if one raised.
// Given to the core as its interruption check during long computations.
void check_signals();
// Loops over Python objects (a sequence's items, the ints of phases())
// call check_signals every this many items, a millisecond or so.
inline constexpr std::size_t kItemsPerPoll = std::size_t{1} << 16;

// Throws PythonError after setting
//   TypeError "'<type>' object is not an instance of '<expected>'"
// ("'None' is not an instance of '<expected>'" for None), <expected> being
// the __qualname__ of expected_type.
[[noreturn]] void throw_wrong_type(PyObject* obj, PyObject* expected_type);

// Makes sure this thread's first C++ exception needs no fresh memory. The
// C++ runtime keeps per-thread exception state in thread-local storage
// that the C library allocates the first time a thread touches it, and
// aborts the process if memory has run out at that moment. Called at every
// entry, it throws and catches one exception in a thread's first call,
// while memory is still to be had, and is a thread-local lookup afterwards.
void prepare_thread_for_exceptions() noexcept;

// Runs body() and maps every C++ failure onto a Python exception, so that
// no C++ exception reaches the interpreter:
//   PythonError      -> the exception already set
//   UserError        -> ValueError with the core's message
//   InternalFailure  -> PanicException with its message
//   std::bad_alloc   -> MemoryError
//   std::exception   -> PanicException
// Returns body()'s result, or `failed` when an exception was set. Every
// exception the module throws is a PythonError or a std::exception.
//
// There is deliberately no catch-all, here or anywhere in the module, and
// no function that calls into Python is noexcept: at exit the interpreter
// ends a daemon thread that asks for the interpreter lock with
// pthread_exit, which unwinds the thread's stack as a forced unwind (a
// foreign exception). It must pass through every frame untouched, running
// only the destructors on its way. A catch-all would catch it (and libc++abi
// cannot rethrow a foreign exception: it terminates), and so would the
// implicit handler of a noexcept function. (Destructors are noexcept; the
// one that releases a reference can run a finaliser, and a thread ended
// inside that finaliser would still end the process.)
template <class Result, class Body>
Result guarded(Result failed, Body&& body) {
  prepare_thread_for_exceptions();
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
  }
  return failed;
}

template <class Body>
PyObject* guarded_call(Body&& body) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* { return body().release(); });
}

}  // namespace tesmerine
