// Binding a vectorcall's arguments to an operation's parameters, with the
// count, keyword and type errors callers see.
#pragma once

#include "operation.hpp"

namespace vantor {

// Fills `out` or raises TypeError (or the float conversion's own error).
// `defaults` is the function's __defaults__ tuple, or None.
void bind_arguments(const Operation& op, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out);

// The default of parameter `j` from `defaults` (borrowed), or nullptr when
// it has none.
PyObject* default_value(const Operation& op, PyObject* defaults, std::size_t j);

}  // namespace vantor
