// The module-level function resonator_factorize.
#pragma once

#include <Python.h>

namespace tesmerine {

// The definition record behind every module object's function; lives as
// long as the process.
extern PyMethodDef kResonatorFactorizeDef;

}  // namespace tesmerine
