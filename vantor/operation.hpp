// What the module knows about each exported operation: its parameters, its
// annotations and the C++ body that runs once the arguments are bound.
#pragma once

#include "host/scope.hpp"

namespace vantor {

enum class ParamKind {
    text,    // exactly str; passed on as the object
    number,  // converted with the host's float conversion
};

struct Param {
    const char* name;
    ParamKind kind;
};

inline constexpr int max_params = 5;

// Arguments after binding: objects are borrowed from the call's own stack.
struct BoundArgs {
    PyObject* objects[max_params] = {};
    double numbers[max_params] = {};
};

using OperationBody = host::Ref (*)(const host::Scope& scope, const BoundArgs& args);

struct OperationSpec {
    const char* name;
    const Param* params;
    int param_count;
    int required;  // the first `required` parameters have no default
    const char* default_text;  // default of the last parameter, or nullptr
    const char* return_annotation;
    OperationBody body;
};

// The four operations, in the order they are defined and bound.
const OperationSpec* const* operation_specs(int* count);

// Docstring of an operation (some name the configured service hosts).
host::Ref operation_doc(const OperationSpec& spec);

}  // namespace vantor
