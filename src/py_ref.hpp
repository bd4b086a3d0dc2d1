// Ownership of Python references, and the signal for "a Python exception is
// already set".
#pragma once

#include <Python.h>

#include <utility>

namespace tesmerine {

// Thrown inside an entry point when a Python exception has been set; the
// boundary guard turns it back into a NULL return.
struct PythonError {};

// A move-only owner of one strong reference (or of none).
class PyRef {
 public:
  PyRef() noexcept = default;
  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : ptr_(other.release()) {}
  PyRef& operator=(PyRef&& other) noexcept {
    PyRef tmp(std::move(other));
    std::swap(ptr_, tmp.ptr_);
    return *this;
  }
  ~PyRef() {
    if (ptr_ != nullptr) drop(ptr_);
  }

  // Takes over a reference the caller owns (a "new reference").
  static PyRef steal(PyObject* ptr) noexcept { return PyRef(ptr); }
  // Adds a reference of its own to a borrowed pointer.
  static PyRef borrow(PyObject* ptr) noexcept {
    Py_XINCREF(ptr);
    return PyRef(ptr);
  }

  PyObject* get() const noexcept { return ptr_; }
  explicit operator bool() const noexcept { return ptr_ != nullptr; }
  // Hands the reference to the caller.
  PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }

 private:
  explicit PyRef(PyObject* ptr) noexcept : ptr_(ptr) {}

  // At exit the interpreter ends a daemon thread that asks for the
  // interpreter lock by unwinding its stack (pthread_exit), and the holders
  // on that stack are destroyed without the lock while the main thread
  // finalises. By then the interpreter no longer counts as initialised, so
  // such a holder leaves its object alone, to the end of the process,
  // instead of racing the main thread for its reference count.
  static void drop(PyObject* ptr) noexcept {
    if (Py_IsInitialized()) Py_DECREF(ptr);
  }
  PyObject* ptr_ = nullptr;
};

// Takes over a new reference, throwing PythonError if the call that made it
// failed (returned NULL with an exception set).
inline PyRef steal_or_throw(PyObject* ptr) {
  if (ptr == nullptr) throw PythonError{};
  return PyRef::steal(ptr);
}

// Throws PythonError when a C API call reported failure with -1.
inline void check_status(int status) {
  if (status < 0) throw PythonError{};
}

}  // namespace tesmerine
