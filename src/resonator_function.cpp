#include "resonator_function.hpp"

#include "arguments.hpp"
#include "as_method.hpp"
#include "core/phase_resonator.hpp"
#include "errors.hpp"
#include "param_spec.hpp"

namespace tesmerine {
namespace {

constexpr ParamSpec kParams{"resonator_factorize", nullptr, {"composite", "codebooks", "max_iter"}, 3, 2, {0, 0, 50}};
enum Param : std::size_t { kComposite, kCodebooks, kMaxIter };
constexpr const char* kDoc =
    "resonator_factorize(composite, codebooks, max_iter=50)\n--\n\n"
    "Factor a composite `bind(f0, f1, ...)` into one codebook index per factor via the\n"
    "deterministic resonator. Returns `(index, similarity)` for each factor.";
static_assert(starts_with_text_signature(kParams, Receiver::kNone, kDoc));

// A sequence of sequences of PhaseHVec, each element held and read in place.
std::vector<VectorList> to_codebooks(PyObject* obj) { return convert_sequence<VectorList>(obj, to_vector_list); }

PyRef build_result(const std::vector<core::Match>& matches) {
  PyRef list = steal_or_throw(PyList_New(static_cast<Py_ssize_t>(matches.size())));
  for (std::size_t f = 0; f < matches.size(); ++f) {
    PyRef index = steal_or_throw(PyLong_FromUnsignedLongLong(matches[f].index));
    PyRef similarity = steal_or_throw(PyFloat_FromDouble(matches[f].similarity));
    PyRef pair = steal_or_throw(PyTuple_Pack(2, index.get(), similarity.get()));
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(f), pair.release());  // steals the pair
  }
  return list;
}

PyObject* resonator_factorize(PyObject*, PyObject* args, PyObject* kwargs) {
  return guarded_call([&] {
    const ParsedArgs parsed = parse_arguments(kParams, args, kwargs);
    const core::PhaseHVec& composite = convert_argument(parsed, kComposite, to_vector_ref);
    const auto codebooks = convert_argument(parsed, kCodebooks, to_codebooks);
    const std::uint64_t max_iter =
        parsed.absent(kMaxIter) ? kParams.defaults[kMaxIter] : convert_argument(parsed, kMaxIter, to_u64);
    std::vector<core::RecordList> records;
    records.reserve(codebooks.size());
    for (const VectorList& book : codebooks) records.push_back(book.records);
    return build_result(core::factorize(composite, records, max_iter, check_signals));
  });
}

}  // namespace

PyMethodDef kResonatorFactorizeDef = {"resonator_factorize", as_method(resonator_factorize),
                                      METH_VARARGS | METH_KEYWORDS, kDoc};

}  // namespace tesmerine
