// The function object type of the module's operations: called through
// vectorcall, with the attributes inspect and help() expect of a function.
#pragma once

#include "operation.hpp"

namespace vantor {

// Creates the type for `module`. Its instances find the module namespace
// again through PyType_GetModuleByDef.
host::Ref create_function_type(PyObject* module);

// A new function object for `op`, with its docstring, annotations and
// defaults.
host::Ref create_function(host::Handle function_type, const Operation& op, const char* module_name);

}  // namespace vantor
