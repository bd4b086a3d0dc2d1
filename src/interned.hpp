// Attribute names the module looks up, interned once per process.
#pragma once

#include <Python.h>

namespace tesmerine::interned {

// Each returns a borrowed, immortal-for-the-process str; throws PythonError
// if the strings could not be made.
PyObject* all();       // "__all__"
PyObject* name();      // "__name__"
PyObject* module();    // "__module__"
PyObject* qualname();  // "__qualname__"
PyObject* add_note();  // "add_note"

}  // namespace tesmerine::interned
