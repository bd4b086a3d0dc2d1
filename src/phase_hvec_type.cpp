#include "phase_hvec_type.hpp"

#include <new>
#include <utility>

#include "errors.hpp"
#include "interned.hpp"
#include "once.hpp"
#include "phase_hvec_methods.hpp"

namespace tesmerine {
namespace {

PhaseHVecObject* as_instance(PyObject* obj) { return reinterpret_cast<PhaseHVecObject*>(obj); }

constexpr const char* kClassDoc =
    "A quantized-phase hypervector: `dim` phases in `Z_N`. Binding is phase-add mod N\n"
    "(not self-inverse), bundling is a deterministic integer fold, similarity is the\n"
    "mean cosine of phase differences.";

// str() of an attribute of the class, or "<unknown>" when it cannot be read
// or is not a str.
PyRef class_attribute_text(PyObject* cls, PyObject* name) {
  PyRef value = PyRef::steal(PyObject_GetAttr(cls, name));
  if (value && PyUnicode_Check(value.get())) {
    PyRef text = PyRef::steal(PyObject_Str(value.get()));
    if (text) return text;
  }
  if (PyErr_Occurred()) clear_ordinary_error();
  return steal_or_throw(PyUnicode_FromString("<unknown>"));
}

// Instances come only from the module's own operations; calling the class
// is always refused.
PyObject* refuse_new(PyTypeObject* type, PyObject*, PyObject*) {
  return guarded<PyObject*>(nullptr, [&]() -> PyObject* {
    PyObject* cls = reinterpret_cast<PyObject*>(type);
    PyRef module = class_attribute_text(cls, interned::module());
    PyRef qualname = class_attribute_text(cls, interned::qualname());
    PyErr_Format(PyExc_TypeError, "cannot create '%U.%U' instances", module.get(), qualname.get());
    return nullptr;
  });
}

// The class's allocation and free slots, read once when the class is made
// (a type's slots never change afterwards).
struct ClassSlots {
  allocfunc alloc = nullptr;
  freefunc free = nullptr;
};

ClassSlots& class_slots() {
  static ClassSlots slots;  // kept for the life of the process
  return slots;
}

// Releases the phase array, frees the object, then drops the reference to
// the type that every heap-type instance holds.
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_instance(self)->record.~PhaseHVec();
  const ClassSlots& slots = class_slots();
  auto free_object =
      type == detail::made_class ? slots.free : reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_object(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(phase_hvec_repr)},
    {Py_tp_methods, kPhaseHVecMethods},
    {Py_tp_getset, kPhaseHVecGetSet},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PhaseHVec",
    static_cast<int>(sizeof(PhaseHVecObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

PyObject* phase_hvec_class() {
  static OnceGuard guard;
  static PyObject* cls = nullptr;  // kept for the life of the process
  guard.run([] {
    PyRef made = steal_or_throw(PyType_FromSpec(&kSpec));
    auto* type = reinterpret_cast<PyTypeObject*>(made.get());
    ClassSlots& slots = class_slots();
    slots.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    slots.free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    detail::made_class = type;
    cls = made.release();
  });
  return cls;
}

namespace detail {
PyTypeObject* made_class = nullptr;

bool is_phase_hvec_slow(PyObject* obj) {
  PyObject* cls = phase_hvec_class();
  return Py_TYPE(obj) == reinterpret_cast<PyTypeObject*>(cls) ||
         PyType_IsSubtype(Py_TYPE(obj), reinterpret_cast<PyTypeObject*>(cls));
}

}  // namespace detail

PyRef wrap_record(core::PhaseHVec&& record) {
  // The class's own allocation slot is what object.__new__ would call; it
  // zero-fills the instance and takes a reference to the type.
  auto* cls = reinterpret_cast<PyTypeObject*>(phase_hvec_class());
  PyRef instance = steal_or_throw(class_slots().alloc(cls, 0));
  new (&as_instance(instance.get())->record) core::PhaseHVec(std::move(record));
  return instance;
}

}  // namespace tesmerine
