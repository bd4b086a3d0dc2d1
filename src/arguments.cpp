#include "arguments.hpp"

#include <cstring>
#include <string>

#include "interned.hpp"
#include "once.hpp"

namespace tesmerine {
namespace {

// A sequence's own length is only a hint; past this many items the list
// grows as they arrive, so a lying __len__ cannot reserve terabytes.
constexpr std::size_t kMaxReservedItems = 1024;

std::string full_name(const ParamSpec& params) {
  std::string name;
  if (params.class_name != nullptr) {
    name += params.class_name;
    name += '.';
  }
  name += params.function_name;
  name += "()";
  return name;
}

[[noreturn]] void throw_type_error(const std::string& message) {
  PyErr_SetString(PyExc_TypeError, message.c_str());
  throw PythonError{};
}

[[noreturn]] void throw_too_many(const ParamSpec& params, Py_ssize_t given) {
  std::string message = full_name(params) + " takes ";
  if (params.required == params.count) {
    message += std::to_string(params.count);
  } else {
    message += "from " + std::to_string(params.required) + " to " + std::to_string(params.count);
  }
  message += " positional arguments but " + std::to_string(given) + (given == 1 ? " was" : " were") + " given";
  throw_type_error(message);
}

[[noreturn]] void throw_missing(const ParsedArgs& parsed) {
  const ParamSpec& params = *parsed.params;
  std::vector<const char*> missing;
  for (std::size_t i = 0; i < params.required; ++i) {
    if (parsed.absent(i)) missing.push_back(params.names[i]);
  }
  std::string list;
  for (std::size_t i = 0; i < missing.size(); ++i) {
    if (i > 0) list += missing.size() == 2 ? " and " : (i + 1 == missing.size() ? ", and " : ", ");
    list += '\'';
    list += missing[i];
    list += '\'';
  }
  throw_type_error(full_name(params) + " missing " + std::to_string(missing.size()) + " required positional " +
                   (missing.size() == 1 ? "argument" : "arguments") + ": " + list);
}

[[noreturn]] void throw_unexpected_keyword(const ParamSpec& params, PyObject* key) {
  PyRef shown = steal_or_throw(PyObject_Str(key));
  PyRef name = steal_or_throw(PyUnicode_FromString(full_name(params).c_str()));
  PyErr_Format(PyExc_TypeError, "%U got an unexpected keyword argument '%U'", name.get(), shown.get());
  throw PythonError{};
}

// The parameter position a keyword names, or -1. Compares the key's UTF-8
// bytes; a key that is not a str or cannot be encoded matches nothing.
Py_ssize_t keyword_position(const ParamSpec& params, PyObject* key) {
  if (!PyUnicode_Check(key)) return -1;
  PyRef utf8 = PyRef::steal(PyUnicode_AsUTF8String(key));
  if (!utf8) {
    clear_ordinary_error();
    return -1;
  }
  char* bytes = nullptr;
  Py_ssize_t length = 0;
  check_status(PyBytes_AsStringAndSize(utf8.get(), &bytes, &length));
  for (std::size_t i = 0; i < params.count; ++i) {
    const std::size_t name_length = std::strlen(params.names[i]);
    if (static_cast<std::size_t>(length) == name_length && std::memcmp(bytes, params.names[i], name_length) == 0) {
      return static_cast<Py_ssize_t>(i);
    }
  }
  return -1;
}

PyObject* abstract_sequence_type() {
  static OnceGuard guard;
  static PyObject* sequence = nullptr;  // kept for the life of the process
  guard.run(
      [] {
        PyRef abc = steal_or_throw(PyImport_ImportModule("collections.abc"));
        return steal_or_throw(PyObject_GetAttrString(abc.get(), "Sequence"));
      },
      [](PyRef made) { sequence = made.release(); });
  return sequence;
}

std::uint64_t int_to_u64(PyObject* integer) {
  const unsigned long long value = PyLong_AsUnsignedLongLong(integer);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) throw PythonError{};
  return value;
}

// An int as it is, anything else through its __index__.
PyRef as_int(PyObject* obj) {
  if (PyLong_Check(obj)) return PyRef::borrow(obj);
  return steal_or_throw(PyNumber_Index(obj));
}

}  // namespace

ParsedArgs parse_arguments(const ParamSpec& params, PyObject* args, PyObject* kwargs) {
  ParsedArgs parsed{&params, {}};
  auto& slots = parsed.slots;
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) throw PythonError{};
  for (Py_ssize_t i = 0; i < given && static_cast<std::size_t>(i) < params.count; ++i) {
    slots[static_cast<std::size_t>(i)] = PyTuple_GetItem(args, i);
  }
  if (static_cast<std::size_t>(given) > params.count) throw_too_many(params, given);

  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      const Py_ssize_t index = keyword_position(params, key);
      if (index < 0) throw_unexpected_keyword(params, key);
      PyObject*& slot = slots[static_cast<std::size_t>(index)];
      if (slot != nullptr) {
        throw_type_error(full_name(params) + " got multiple values for argument '" +
                         params.names[static_cast<std::size_t>(index)] + "'");
      }
      slot = value;
    }
  }

  for (std::size_t i = static_cast<std::size_t>(given); i < params.required; ++i) {
    if (parsed.absent(i)) throw_missing(parsed);
  }
  return parsed;
}

void add_argument_note(const char* param) {
  PyObject* raw_type = nullptr;
  PyObject* raw_value = nullptr;
  PyObject* raw_traceback = nullptr;
  PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
  if (raw_type == nullptr) return;
  PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
  PyRef type = PyRef::steal(raw_type);
  PyRef value = PyRef::steal(raw_value);
  PyRef traceback = PyRef::steal(raw_traceback);
  if (value) {
    if (traceback) PyException_SetTraceback(value.get(), traceback.get());
    try {
      PyRef note = steal_or_throw(PyUnicode_FromFormat("while processing '%s'", param));
      PyRef add_note = steal_or_throw(PyObject_GetAttr(value.get(), interned::add_note()));
      steal_or_throw(PyObject_CallFunctionObjArgs(add_note.get(), note.get(), nullptr));
    } catch (const PythonError&) {
      if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        // Not an ordinary error (KeyboardInterrupt, SystemExit, ...): it
        // replaces the one being noted, which becomes its context.
        PyObject* new_type = nullptr;
        PyObject* new_value = nullptr;
        PyObject* new_traceback = nullptr;
        PyErr_Fetch(&new_type, &new_value, &new_traceback);
        PyErr_NormalizeException(&new_type, &new_value, &new_traceback);
        if (new_value != nullptr) {
          PyException_SetContext(new_value, value.release());  // steals the reference
          if (new_traceback != nullptr) PyException_SetTraceback(new_value, new_traceback);
        }
        PyErr_Restore(new_type, new_value, new_traceback);
        return;
      }
      // No add_note before Python 3.11, or the call failed: keep the error as it is.
      PyErr_Clear();
    }
  }
  PyErr_Restore(type.release(), value.release(), traceback.release());
}

std::uint64_t to_u64(PyObject* obj) { return int_to_u64(as_int(obj).get()); }

std::uint32_t to_u32(PyObject* obj) {
  PyRef integer = as_int(obj);
  const long value = PyLong_AsLong(integer.get());
  if (value == -1 && PyErr_Occurred()) throw PythonError{};
  if (value < 0 || static_cast<unsigned long long>(value) > 0xFFFFFFFFull) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    throw PythonError{};
  }
  return static_cast<std::uint32_t>(value);
}

void require_sequence(PyObject* obj) {
  if (PyUnicode_Check(obj)) throw_type_error("Can't extract `str` to `Vec`");
  if (!PySequence_Check(obj)) throw_wrong_type(obj, abstract_sequence_type());
}

std::size_t capacity_hint(PyObject* obj) {
  const Py_ssize_t size = PyObject_Size(obj);
  if (size < 0) {
    clear_ordinary_error();
    return 0;
  }
  return std::min(static_cast<std::size_t>(size), kMaxReservedItems);
}

VectorList to_vector_list(PyObject* obj) {
  VectorList out;
  convert_items(
      obj,
      [&](std::size_t hint) {
        out.owners.reserve(hint);
        out.records.reserve(hint);
      },
      [&](PyRef item) {
        out.records.push_back(&to_vector_ref(item.get()));
        out.owners.push_back(std::move(item));
      });
  return out;
}

}  // namespace tesmerine
