// The PhaseHVec class: its entry points, method and property tables, slots
// and type spec, the class object (made once per process) and the step that
// wraps a finished record into a new instance.
#include <cstdio>
#include <new>
#include <utility>

#include "arguments.hpp"
#include "as_method.hpp"
#include "core/phase_hvec.hpp"
#include "errors.hpp"
#include "interned.hpp"
#include "once.hpp"
#include "param_spec.hpp"
#include "phase_hvec_object.hpp"

namespace tesmerine {
namespace {

PhaseHVecObject* as_instance(PyObject* obj) { return reinterpret_cast<PhaseHVecObject*>(obj); }

constexpr const char* kClassDoc =
    "A quantized-phase hypervector: `dim` phases in `Z_N`. Binding is phase-add mod N\n"
    "(not self-inverse), bundling is a deterministic integer fold, similarity is the\n"
    "mean cosine of phase differences.";

// Each method's parameters and docstring. A docstring starts with the text
// signature the interpreter shows, checked here against the parameters.

constexpr ParamSpec kRandomParams{"random", "PhaseHVec", {"dim", "n", "seed"}, 3, 3};
enum RandomParam : std::size_t { kDim, kN, kSeed };
constexpr const char* kRandomDoc =
    "random(dim, n, seed)\n--\n\n"
    "A random phase vector of `dim` dimensions at resolution `n` (phase levels,\n"
    "2..=65536), deterministic in `seed`.";
static_assert(starts_with_text_signature(kRandomParams, Receiver::kNone, kRandomDoc));

// bind, unbind and similarity each take one other vector.
enum OtherParam : std::size_t { kOther };

constexpr ParamSpec kBindParams{"bind", "PhaseHVec", {"other"}, 1, 1};
constexpr const char* kBindDoc =
    "bind($self, other)\n--\n\n"
    "Bind two vectors (phase-add mod N). Non-self-inverse; inverse is `unbind`.";
static_assert(starts_with_text_signature(kBindParams, Receiver::kInstance, kBindDoc));

constexpr ParamSpec kUnbindParams{"unbind", "PhaseHVec", {"other"}, 1, 1};
constexpr const char* kUnbindDoc =
    "unbind($self, other)\n--\n\n"
    "Unbind (phase-sub mod N). `a.bind(b).unbind(b) == a`.";
static_assert(starts_with_text_signature(kUnbindParams, Receiver::kInstance, kUnbindDoc));

constexpr ParamSpec kSimilarityParams{"similarity", "PhaseHVec", {"other"}, 1, 1};
constexpr const char* kSimilarityDoc =
    "similarity($self, other)\n--\n\n"
    "Similarity: mean cosine of phase differences, in [-1, 1].";
static_assert(starts_with_text_signature(kSimilarityParams, Receiver::kInstance, kSimilarityDoc));

constexpr ParamSpec kBundleParams{"bundle", "PhaseHVec", {"items"}, 1, 1};
enum BundleParam : std::size_t { kItems };
constexpr const char* kBundleDoc =
    "bundle(items)\n--\n\n"
    "Deterministic superposition (bundle) of a list of phase vectors.";
static_assert(starts_with_text_signature(kBundleParams, Receiver::kNone, kBundleDoc));

// phases takes no arguments (the interpreter refuses any); its description
// only checks the docstring.
constexpr ParamSpec kPhasesParams{"phases", "PhaseHVec", {}, 0, 0};
constexpr const char* kPhasesDoc =
    "phases($self)\n--\n\n"
    "The raw phase indices as a list of ints in [0, n).";
static_assert(starts_with_text_signature(kPhasesParams, Receiver::kInstance, kPhasesDoc));

PyObject* random(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const ParsedArgs parsed = parse_arguments(kRandomParams, args, kwargs);
    const std::uint64_t dim = convert_argument(parsed, kDim, to_u64);
    const std::uint32_t n = convert_argument(parsed, kN, to_u32);
    const std::uint64_t seed = convert_argument(parsed, kSeed, to_u64);
    return wrap_record(core::random(dim, n, seed, check_signals));
  });
}

// The converted `other` of the two-vector methods.
const core::PhaseHVec& parse_other(const ParamSpec& params, PyObject* args, PyObject* kwargs) {
  const ParsedArgs parsed = parse_arguments(params, args, kwargs);
  return convert_argument(parsed, kOther, to_vector_ref);
}

PyObject* bind(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kBindParams, args, kwargs);
    return wrap_record(core::bind(record_of(self), other, check_signals));
  });
}

PyObject* unbind(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kUnbindParams, args, kwargs);
    return wrap_record(core::unbind(record_of(self), other, check_signals));
  });
}

PyObject* similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kSimilarityParams, args, kwargs);
    return steal_or_throw(PyFloat_FromDouble(core::similarity(record_of(self), other, check_signals)));
  });
}

PyObject* bundle(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const ParsedArgs parsed = parse_arguments(kBundleParams, args, kwargs);
    const VectorList items = convert_argument(parsed, kItems, to_vector_list);
    return wrap_record(core::bundle(items.records, check_signals));
  });
}

PyObject* phases(PyObject* self, PyObject*) {
  return guarded_call([&] {
    const core::PhaseArray& values = record_of(self).phases;
    PyRef list = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
      if (i % kItemsPerPoll == 0 && i != 0) check_signals();
      PyRef item = steal_or_throw(PyLong_FromUnsignedLong(values[i]));
      PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item.release());  // steals the item
    }
    return list;
  });
}

PyObject* get_dim(PyObject* self, void*) {
  return guarded_call([&] { return steal_or_throw(PyLong_FromUnsignedLongLong(record_of(self).dim)); });
}

PyObject* get_n(PyObject* self, void*) {
  return guarded_call([&] { return steal_or_throw(PyLong_FromUnsignedLong(record_of(self).n)); });
}

PyObject* repr(PyObject* self) {
  return guarded_call([&] {
    const core::PhaseHVec& record = record_of(self);
    char text[64];
    std::snprintf(text, sizeof text, "PhaseHVec(dim=%llu, n=%lu)", static_cast<unsigned long long>(record.dim),
                  static_cast<unsigned long>(record.n));
    return steal_or_throw(PyUnicode_FromString(text));
  });
}

PyMethodDef kMethods[] = {
    {"random", as_method(random), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kRandomDoc},
    {"bind", as_method(bind), METH_VARARGS | METH_KEYWORDS, kBindDoc},
    {"unbind", as_method(unbind), METH_VARARGS | METH_KEYWORDS, kUnbindDoc},
    {"similarity", as_method(similarity), METH_VARARGS | METH_KEYWORDS, kSimilarityDoc},
    {"bundle", as_method(bundle), METH_VARARGS | METH_KEYWORDS | METH_STATIC, kBundleDoc},
    {"phases", phases, METH_NOARGS, kPhasesDoc},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kGetSet[] = {
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

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

// Releases the phase array, frees the object with the class's free slot (the
// class is not a base type, so every instance is of the class itself), then
// drops the reference to the type that every heap-type instance holds.
void dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_instance(self)->record.~PhaseHVec();
  class_slots().free(self);
  Py_DECREF(type);
}

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kClassDoc)},
    {Py_tp_repr, reinterpret_cast<void*>(repr)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kGetSet},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_new, reinterpret_cast<void*>(refuse_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
    {0, nullptr},
};

// Py_TPFLAGS_DEFAULT only: not a base type (no subclass can exist), not
// tracked by the cycle collector (instances hold no Python references), and
// not immutable (attributes of the class may be assigned).
PyType_Spec kSpec = {
    "builtins.PhaseHVec",
    static_cast<int>(sizeof(PhaseHVecObject)),
    0,
    Py_TPFLAGS_DEFAULT,
    kSlots,
};

}  // namespace

namespace detail {
PyTypeObject* made_class = nullptr;
}  // namespace detail

PyObject* phase_hvec_class() {
  static OnceGuard guard;
  static PyObject* cls = nullptr;  // kept for the life of the process
  guard.run([] { return steal_or_throw(PyType_FromSpec(&kSpec)); },
            [](PyRef made) {
              auto* type = reinterpret_cast<PyTypeObject*>(made.get());
              ClassSlots& slots = class_slots();
              slots.alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
              slots.free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
              detail::made_class = type;
              cls = made.release();
            });
  return cls;
}

PyRef wrap_record(core::PhaseHVec&& record) {
  // The class's own allocation slot is what object.__new__ would call; it
  // zero-fills the instance and takes a reference to the type.
  auto* cls = reinterpret_cast<PyTypeObject*>(phase_hvec_class());
  PyRef instance = steal_or_throw(class_slots().alloc(cls, 0));
  new (&as_instance(instance.get())->record) core::PhaseHVec(std::move(record));
  return instance;
}

}  // namespace tesmerine
