// The extension module: its definition record, the exec step that fills a
// new module object, and the one exported symbol.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "errors.hpp"
#include "interned.hpp"
#include "phase_hvec_object.hpp"
#include "py_ref.hpp"
#include "resonator_function.hpp"

namespace tesmerine {
namespace {

constexpr const char* kModuleDoc =
    "Deterministic, verifiable vector-symbolic (VSA) memory on a quantized-phase substrate.";

// The class and the other process-wide values are made for one interpreter
// and cannot be shared with another, so the module loads only in the
// interpreter that first imported it.
void require_owning_interpreter() {
  static std::atomic<std::int64_t> owner{-1};
  const std::int64_t current = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (current < 0) throw PythonError{};
  std::int64_t expected = -1;
  if (owner.compare_exchange_strong(expected, current) || expected == current) return;
  PyErr_SetString(PyExc_ImportError,
                  "tesmerine cannot be loaded in this interpreter: it is already loaded in another "
                  "interpreter of this process, and sub-interpreters are not supported");
  throw PythonError{};
}

// module.__all__, created as an empty list if the module has none yet.
PyRef all_list(PyObject* module) {
  PyRef all = PyRef::steal(PyObject_GetAttr(module, interned::all()));
  if (all) {
    if (!PyList_Check(all.get())) throw_wrong_type(all.get(), reinterpret_cast<PyObject*>(&PyList_Type));
    return all;
  }
  if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError{};
  PyErr_Clear();
  all = steal_or_throw(PyList_New(0));
  check_status(PyObject_SetAttr(module, interned::all(), all.get()));
  return all;
}

// Lists the name in __all__, then sets the attribute.
void add_to_module(PyObject* module, PyObject* name, PyObject* value) {
  PyRef all = all_list(module);
  if (PyList_Append(all.get(), name) < 0) {
    PyErr_Clear();
    throw core::InternalFailure("could not append __name__ to __all__");
  }
  check_status(PyObject_SetAttr(module, name, value));
}

int exec_module(PyObject* module) {
  return guarded<int>(-1, [&] {
    require_owning_interpreter();

    PyRef doc_name = steal_or_throw(PyUnicode_FromString("__doc__"));
    PyRef doc = steal_or_throw(PyUnicode_FromString(kModuleDoc));
    add_to_module(module, doc_name.get(), doc.get());

    PyRef class_name = steal_or_throw(PyUnicode_FromString("PhaseHVec"));
    add_to_module(module, class_name.get(), phase_hvec_class());

    PyRef module_name = steal_or_throw(PyModule_GetNameObject(module));
    PyRef function = steal_or_throw(PyCMethod_New(&kResonatorFactorizeDef, module, module_name.get(), nullptr));
    PyRef function_name = steal_or_throw(PyObject_GetAttr(function.get(), interned::name()));
    add_to_module(module, function_name.get(), function.get());
    return 0;
  });
}

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "tesmerine",
    "",
    0,
    nullptr,
    kSlots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace
}  // namespace tesmerine

PyMODINIT_FUNC PyInit_tesmerine(void) { return PyModuleDef_Init(&tesmerine::kModuleDef); }
