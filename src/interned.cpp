#include "interned.hpp"

#include <array>

#include "once.hpp"
#include "py_ref.hpp"

namespace tesmerine::interned {
namespace {

enum Name : std::size_t { kAll, kName, kModule, kQualname, kAddNote, kCount };
constexpr std::array<const char*, kCount> kTexts = {"__all__", "__name__", "__module__", "__qualname__",
                                                     "add_note"};

PyObject* get(Name which) {
  static OnceGuard guard;
  static std::array<PyObject*, kCount> strings{};
  guard.run(
      [] {
        std::array<PyRef, kCount> made;
        for (std::size_t i = 0; i < kCount; ++i) made[i] = steal_or_throw(PyUnicode_InternFromString(kTexts[i]));
        return made;
      },
      // Kept for the life of the process.
      [](std::array<PyRef, kCount> made) {
        for (std::size_t i = 0; i < kCount; ++i) strings[i] = made[i].release();
      });
  return strings[which];
}

}  // namespace

PyObject* all() { return get(kAll); }
PyObject* name() { return get(kName); }
PyObject* module() { return get(kModule); }
PyObject* qualname() { return get(kQualname); }
PyObject* add_note() { return get(kAddNote); }

}  // namespace tesmerine::interned
