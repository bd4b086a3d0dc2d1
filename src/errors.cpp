#include "errors.hpp"

#include <cstring>

#include "interned.hpp"
#include "once.hpp"

namespace tesmerine {
namespace {

constexpr const char* kPanicDoc =
    "The exception raised when the module's internal code panics.\n"
    "\n"
    "Like SystemExit, this exception is derived from BaseException so that\n"
    "it will typically propagate all the way through the stack and cause the\n"
    "Python interpreter to exit.";

PyObject* panic_exception_class() {
  static OnceGuard guard;
  static PyObject* cls = nullptr;  // kept for the life of the process
  guard.run(
      [] {
        return steal_or_throw(
            PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc, PyExc_BaseException, nullptr));
      },
      [](PyRef made) { cls = made.release(); });
  return cls;
}

// The __qualname__ of a type as a str, or an empty holder if it cannot be
// read or is not a str (the lookup's error is cleared).
PyRef qualname_of(PyObject* type) {
  PyRef name = PyRef::steal(PyObject_GetAttr(type, interned::qualname()));
  if (!name) {
    clear_ordinary_error();
    return {};
  }
  if (!PyUnicode_Check(name.get())) return {};
  return name;
}

}  // namespace

void clear_ordinary_error() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) throw PythonError{};
  PyErr_Clear();
}

void prepare_thread_for_exceptions() noexcept {
  static thread_local bool ready = false;
  if (ready) return;
  try {
    throw PythonError{};
  } catch (const PythonError&) {
  }
  ready = true;
}

void check_signals() {
  if (PyErr_CheckSignals() < 0) throw PythonError{};
}

void set_panic(const char* message) {
  try {
    PyObject* cls = panic_exception_class();
    PyRef text = steal_or_throw(PyUnicode_DecodeUTF8(message, static_cast<Py_ssize_t>(std::strlen(message)),
                                                     "replace"));
    PyErr_SetObject(cls, text.get());
  } catch (const PythonError&) {
    // The error raised while making the class or the message stays set.
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  }
}

[[noreturn]] void throw_wrong_type(PyObject* obj, PyObject* expected_type) {
  PyRef expected = qualname_of(expected_type);
  if (!expected) expected = steal_or_throw(PyUnicode_FromString("<failed to extract type name>"));
  if (obj == Py_None) {
    PyErr_Format(PyExc_TypeError, "'None' is not an instance of '%U'", expected.get());
    throw PythonError{};
  }
  PyRef actual = qualname_of(reinterpret_cast<PyObject*>(Py_TYPE(obj)));
  if (!actual) actual = steal_or_throw(PyUnicode_FromString("<failed to extract type name>"));
  PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%U'", actual.get(), expected.get());
  throw PythonError{};
}

}  // namespace tesmerine
