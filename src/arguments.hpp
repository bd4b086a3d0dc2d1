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
#include "param_spec.hpp"
#include "phase_hvec_object.hpp"
#include "py_ref.hpp"

namespace tesmerine {

// The parsed arguments of one call: one borrowed object per parameter of
// `params`, nullptr where the argument is absent.
struct ParsedArgs {
  const ParamSpec* params;
  std::array<PyObject*, kMaxParams> slots;

  bool absent(std::size_t index) const { return slots[index] == nullptr; }
};

// Matches positional and keyword arguments to parameters; on a parsing
// error sets TypeError and throws PythonError.
ParsedArgs parse_arguments(const ParamSpec& params, PyObject* args, PyObject* kwargs);

// Attaches the note "while processing '<param>'" to the current exception
// when the interpreter supports notes; otherwise leaves it as it is.
void add_argument_note(const char* param);

// Converts the argument of the parameter at `index`; a failure keeps its
// exception, annotated with that parameter's name.
template <class Convert>
auto convert_argument(const ParsedArgs& parsed, std::size_t index, Convert&& convert)
    -> decltype(convert(parsed.slots[index])) {
  const char* param = parsed.params->names[index];
  try {
    return convert(parsed.slots[index]);
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
inline const core::PhaseHVec& to_vector_ref(PyObject* obj) {
  if (!is_phase_hvec(obj)) throw_wrong_type(obj, phase_hvec_class());
  return record_of(obj);
}
// The records of a sequence (not a str) of PhaseHVec instances, in iteration
// order. Each instance is held by a strong reference for the call and its
// record read in place: records never change, so this is the same as copying
// them, and later changes to the sequence cannot affect the call.
struct VectorList {
  std::vector<PyRef> owners;
  core::RecordList records;
};
VectorList to_vector_list(PyObject* obj);

// The checks shared by every sequence argument: a str is refused, as is
// anything that is not a sequence.
void require_sequence(PyObject* obj);
// A length hint for reserving, never trusted beyond a modest size; the list
// grows as items really arrive.
std::size_t capacity_hint(PyObject* obj);

// Hands each item of a sequence argument (not a str), in iteration order,
// to add() with its reference, after reserve(hint) with a length hint;
// polls for signals every kItemsPerPoll items.
template <class Reserve, class Add>
void convert_items(PyObject* obj, Reserve&& reserve, Add&& add) {
  require_sequence(obj);
  reserve(capacity_hint(obj));
  PyRef iterator = steal_or_throw(PyObject_GetIter(obj));
  std::size_t seen = 0;
  while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
    add(std::move(item));
    if (++seen % kItemsPerPoll == 0) check_signals();
  }
  if (PyErr_Occurred()) throw PythonError{};
}

// Converts each item of a sequence argument, in iteration order.
template <class T, class ConvertItem>
std::vector<T> convert_sequence(PyObject* obj, ConvertItem&& convert_item) {
  std::vector<T> out;
  convert_items(obj, [&](std::size_t hint) { out.reserve(hint); },
                [&](PyRef item) { out.push_back(convert_item(item.get())); });
  return out;
}

}  // namespace tesmerine
