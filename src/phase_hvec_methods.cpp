#include "phase_hvec_methods.hpp"

#include <cstdio>

#include "arguments.hpp"
#include "core/phase_hvec.hpp"
#include "errors.hpp"
#include "phase_hvec_type.hpp"

namespace tesmerine {
namespace {

constexpr ParamSpec kRandomParams{"random", "PhaseHVec", {"dim", "n", "seed"}, 3, 3};
constexpr ParamSpec kBindParams{"bind", "PhaseHVec", {"other"}, 1, 1};
constexpr ParamSpec kUnbindParams{"unbind", "PhaseHVec", {"other"}, 1, 1};
constexpr ParamSpec kSimilarityParams{"similarity", "PhaseHVec", {"other"}, 1, 1};
constexpr ParamSpec kBundleParams{"bundle", "PhaseHVec", {"items"}, 1, 1};

PyObject* random(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const ParsedArgs parsed = parse_arguments(kRandomParams, args, kwargs);
    const std::uint64_t dim = convert_argument("dim", parsed[0], to_u64);
    const std::uint32_t n = convert_argument("n", parsed[1], to_u32);
    const std::uint64_t seed = convert_argument("seed", parsed[2], to_u64);
    return wrap_record(core::random(dim, n, seed));
  });
}

// The receiver and the converted `other`, for the two-vector methods.
const core::PhaseHVec& parse_other(const ParamSpec& params, PyObject* args, PyObject* kwargs) {
  const ParsedArgs parsed = parse_arguments(params, args, kwargs);
  return convert_argument("other", parsed[0], to_vector_ref);
}

PyObject* bind(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kBindParams, args, kwargs);
    return wrap_record(core::bind(record_of(self), other));
  });
}

PyObject* unbind(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kUnbindParams, args, kwargs);
    return wrap_record(core::unbind(record_of(self), other));
  });
}

PyObject* similarity(PyObject* self, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const core::PhaseHVec& other = parse_other(kSimilarityParams, args, kwargs);
    return steal_or_throw(PyFloat_FromDouble(core::similarity(record_of(self), other)));
  });
}

PyObject* bundle(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const ParsedArgs parsed = parse_arguments(kBundleParams, args, kwargs);
    const VectorList items = convert_argument("items", parsed[0], to_vector_list);
    return wrap_record(core::bundle(items.records, check_signals));
  });
}

PyObject* phases(PyObject* self, PyObject*) {
  return guarded_call([&] {
    const core::PhaseArray& values = record_of(self).phases;
    PyRef list = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(values.size())));
    for (std::size_t i = 0; i < values.size(); ++i) {
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

}  // namespace

PyObject* phase_hvec_repr(PyObject* self) {
  return guarded_call([&] {
    const core::PhaseHVec& record = record_of(self);
    char text[64];
    std::snprintf(text, sizeof text, "PhaseHVec(dim=%llu, n=%lu)", static_cast<unsigned long long>(record.dim),
                  static_cast<unsigned long>(record.n));
    return steal_or_throw(PyUnicode_FromString(text));
  });
}

PyMethodDef kPhaseHVecMethods[] = {
    {"random", as_method(random), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "random(dim, n, seed)\n--\n\n"
     "A random phase vector of `dim` dimensions at resolution `n` (phase levels,\n"
     "2..=65536), deterministic in `seed`."},
    {"bind", as_method(bind), METH_VARARGS | METH_KEYWORDS,
     "bind($self, other)\n--\n\n"
     "Bind two vectors (phase-add mod N). Non-self-inverse; inverse is `unbind`."},
    {"unbind", as_method(unbind), METH_VARARGS | METH_KEYWORDS,
     "unbind($self, other)\n--\n\n"
     "Unbind (phase-sub mod N). `a.bind(b).unbind(b) == a`."},
    {"similarity", as_method(similarity), METH_VARARGS | METH_KEYWORDS,
     "similarity($self, other)\n--\n\n"
     "Similarity: mean cosine of phase differences, in [-1, 1]."},
    {"bundle", as_method(bundle), METH_VARARGS | METH_KEYWORDS | METH_STATIC,
     "bundle(items)\n--\n\n"
     "Deterministic superposition (bundle) of a list of phase vectors."},
    {"phases", phases, METH_NOARGS,
     "phases($self)\n--\n\n"
     "The raw phase indices as a list of ints in [0, n)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kPhaseHVecGetSet[] = {
    {"dim", get_dim, nullptr, nullptr, nullptr},
    {"n", get_n, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace tesmerine
