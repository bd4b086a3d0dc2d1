// Parsing of (args, kwargs) against an entry point's parameter list, and the
// conversions from Python objects to the values the core works on.
#pragma once

#include <Python.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "core/phase_hvec.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace tesmerine {

inline constexpr std::size_t kMaxParams = 3;

// One entry point's parameters: all positional-or-keyword, the first
// `required` of them required.
struct ParamSpec {
  const char* function_name;
  const char* class_name;  // nullptr for a module-level function
  std::array<const char*, kMaxParams> names;
  std::size_t count;
  std::size_t required;
};

// One borrowed object per parameter; nullptr where the argument is absent.
using ParsedArgs = std::array<PyObject*, kMaxParams>;

// Matches positional and keyword arguments to parameters; on a parsing
// error sets TypeError and throws PythonError.
ParsedArgs parse_arguments(const ParamSpec& params, PyObject* args, PyObject* kwargs);

// Attaches the note "while processing '<param>'" to the current exception
// when the interpreter supports notes; otherwise leaves it as it is.
void add_argument_note(const char* param) noexcept;

// Runs one conversion; a failure keeps its exception, annotated with the
// parameter's name.
template <class Convert>
auto convert_argument(const char* param, PyObject* obj, Convert&& convert) -> decltype(convert(obj)) {
  try {
    return convert(obj);
  } catch (const PythonError&) {
    add_argument_note(param);
    throw;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    add_argument_note(param);
    throw PythonError{};
  }
}

// An unsigned 64-bit integer from an int or an object with __index__.
std::uint64_t to_u64(PyObject* obj);
// An unsigned 32-bit integer, by way of a signed 64-bit one.
std::uint32_t to_u32(PyObject* obj);
// The record inside a PhaseHVec instance, borrowed for the call.
const core::PhaseHVec& to_vector_ref(PyObject* obj);
// Copies of the records of a sequence (not a str) of PhaseHVec instances.
std::vector<core::PhaseHVec> to_vector_list(PyObject* obj);

// The checks shared by every sequence argument: a str is refused, as is
// anything that is not a sequence.
void require_sequence(PyObject* obj);
// A length hint for reserving, never trusted beyond a modest size; the list
// grows as items really arrive.
std::size_t capacity_hint(PyObject* obj);

// Converts each item of a sequence argument, in iteration order.
template <class T, class ConvertItem>
std::vector<T> convert_sequence(PyObject* obj, ConvertItem&& convert_item) {
  require_sequence(obj);
  std::vector<T> out;
  out.reserve(capacity_hint(obj));
  PyRef iterator = steal_or_throw(PyObject_GetIter(obj));
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    out.push_back(convert_item(item.get()));
  }
  if (PyErr_Occurred()) throw PythonError{};
  return out;
}

}  // namespace tesmerine
