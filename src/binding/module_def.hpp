// The module definition, shared by the module entry and the function type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vantor {

extern PyModuleDef module_def;

}  // namespace vantor
