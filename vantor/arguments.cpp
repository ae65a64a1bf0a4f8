#include "arguments.hpp"

#include "host/text.hpp"

namespace vantor {

using host::PyError;

namespace {

[[noreturn]] void raise_count_error(const OperationSpec& spec, Py_ssize_t given) {
    const char* more_or_less = "exactly";
    Py_ssize_t expected = spec.param_count;
    if (spec.required != spec.param_count) {
        if (given < spec.required) {
            more_or_less = "at least";
            expected = spec.required;
        } else {
            more_or_less = "at most";
        }
    }
    host::raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", spec.name,
                 more_or_less, expected, expected == 1 ? "" : "s", given);
}

int find_param(const OperationSpec& spec, PyObject* keyword) {
    for (int j = 0; j < spec.param_count; ++j) {
        if (PyUnicode_EqualToUTF8(keyword, spec.params[j].name)) return j;
    }
    return -1;
}

void check_text(const Param& param, PyObject* value) {
    if (PyUnicode_CheckExact(value)) return;
    PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", param.name,
                 "str", Py_TYPE(value)->tp_name);
    if (PyUnicode_Check(value)) {
        host::Ref error = host::Ref::steal(PyErr_GetRaisedException());
        host::Ref note = host::text(
            "Subclasses of built-in types are not accepted here: pass a plain str, e.g. str(value).");
        error.attr("add_note")(note);
        PyErr_SetRaisedException(error.release());
    }
    throw PyError{};
}

double convert_number(PyObject* value) {
    if (PyFloat_CheckExact(value)) return PyFloat_AS_DOUBLE(value);
    double number = PyFloat_AsDouble(value);
    if (number == -1.0 && PyErr_Occurred()) throw PyError{};
    return number;
}

}  // namespace

void bind_arguments(const OperationSpec& spec, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs > spec.param_count || (keyword_count == 0 && nargs < spec.required)) {
        raise_count_error(spec, nargs);
    }

    PyObject* values[max_params] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];

    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            host::raise_format(PyExc_TypeError, "%s() keywords must be strings", spec.name);
        }
        int j = find_param(spec, keyword);
        if (j < 0) {
            host::raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", spec.name, keyword);
        }
        if (values[j] != nullptr) {
            host::raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name, keyword);
        }
        values[j] = args[nargs + k];
    }

    for (int j = spec.required; j < spec.param_count; ++j) {
        if (values[j] == nullptr && PyTuple_Check(defaults) && j - spec.required < PyTuple_GET_SIZE(defaults)) {
            values[j] = PyTuple_GET_ITEM(defaults, j - spec.required);
        }
    }
    // The count reported for a missing argument is its own index.
    for (int j = static_cast<int>(nargs); j < spec.param_count; ++j) {
        if (values[j] == nullptr) raise_count_error(spec, j);
    }

    // Numbers are converted before any text is type-tested.
    for (int j = 0; j < spec.param_count; ++j) {
        if (spec.params[j].kind == ParamKind::number) out.numbers[j] = convert_number(values[j]);
    }
    for (int j = 0; j < spec.param_count; ++j) {
        if (spec.params[j].kind == ParamKind::text) check_text(spec.params[j], values[j]);
        out.objects[j] = values[j];
    }
}

}  // namespace vantor
