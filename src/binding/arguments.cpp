#include "arguments.hpp"

#include "host/text.hpp"

namespace vantor {

using host::PyError;

namespace {

[[noreturn]] void raise_count_error(const Operation& op, Py_ssize_t given) {
    const char* more_or_less = "exactly";
    auto expected = static_cast<Py_ssize_t>(op.param_count);
    if (op.required != op.param_count) {
        if (given < static_cast<Py_ssize_t>(op.required)) {
            more_or_less = "at least";
            expected = static_cast<Py_ssize_t>(op.required);
        } else {
            more_or_less = "at most";
        }
    }
    host::raise_format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", op.name,
                       more_or_less, expected, expected == 1 ? "" : "s", given);
}

Py_ssize_t find_param(const Operation& op, PyObject* keyword) {
    std::span<const Param> params = op.params();
    for (std::size_t j = 0; j < params.size(); ++j) {
        if (PyUnicode_EqualToUTF8(keyword, params[j].name)) return static_cast<Py_ssize_t>(j);
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

// Places each keyword argument into `values`, in the order the call passes
// them.
void place_keywords(const Operation& op, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    PyObject** values) {
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < keyword_count; ++k) {
        PyObject* keyword = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(keyword)) {
            host::raise_format(PyExc_TypeError, "%s() keywords must be strings", op.name);
        }
        const Py_ssize_t j = find_param(op, keyword);
        if (j < 0) {
            host::raise_format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", op.name, keyword);
        }
        if (values[j] != nullptr) {
            host::raise_format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", op.name,
                               keyword);
        }
        values[j] = args[nargs + k];
    }
}

}  // namespace

PyObject* default_value(const Operation& op, PyObject* defaults, std::size_t j) {
    if (j < op.required || !PyTuple_Check(defaults)) return nullptr;
    const auto at = static_cast<Py_ssize_t>(j - op.required);
    return at < PyTuple_GET_SIZE(defaults) ? PyTuple_GET_ITEM(defaults, at) : nullptr;
}

void bind_arguments(const Operation& op, PyObject* defaults, PyObject* const* args, Py_ssize_t nargs,
                    PyObject* kwnames, BoundArgs& out) {
    std::span<const Param> params = op.params();
    const auto param_count = static_cast<Py_ssize_t>(params.size());
    const Py_ssize_t keyword_count = kwnames == nullptr ? 0 : PyTuple_GET_SIZE(kwnames);
    if (nargs > param_count || (keyword_count == 0 && nargs < static_cast<Py_ssize_t>(op.required))) {
        raise_count_error(op, nargs);
    }

    PyObject* values[max_params] = {};
    for (Py_ssize_t i = 0; i < nargs; ++i) values[i] = args[i];
    place_keywords(op, args, nargs, kwnames, values);

    for (std::size_t j = 0; j < params.size(); ++j) {
        if (values[j] == nullptr) values[j] = default_value(op, defaults, j);
    }
    // The count reported for a missing argument is its own index.
    for (Py_ssize_t j = nargs; j < param_count; ++j) {
        if (values[j] == nullptr) raise_count_error(op, j);
    }

    // Numbers are converted before any text is type-tested.
    for (std::size_t j = 0; j < params.size(); ++j) {
        if (params[j].kind == ParamKind::number) out.numbers[j] = convert_number(values[j]);
    }
    for (std::size_t j = 0; j < params.size(); ++j) {
        if (params[j].kind == ParamKind::text) check_text(params[j], values[j]);
        out.objects[j] = values[j];
    }
}

}  // namespace vantor
