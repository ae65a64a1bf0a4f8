#include "host/scope.hpp"

#include <vector>

namespace vantor::host {

Ref Scope::name(const char* name) const {
    Ref key = Ref::steal(PyUnicode_FromString(name));
    PyObject* found = nullptr;
    if (check(PyDict_GetItemRef(globals_, key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && check(PyMapping_GetOptionalItem(builtins, key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    PyErr_Format(PyExc_NameError, "name '%s' is not defined", name);
    throw PyError{};
}

Ref Scope::member(const char* name, const char* attr_name) const {
    return attr(this->name(name), attr_name);
}

void Scope::print_line(const Ref& text) const {
    call(name("print"), {text.get()});
}

void Scope::print_progress(const Ref& text) const {
    Ref empty = Ref::steal(PyUnicode_FromString(""));
    call(name("print"), {text.get()}, {{"end", empty.get()}, {"flush", Py_True}});
}

Ref attr(const Ref& obj, const char* name) {
    return Ref::steal(PyObject_GetAttrString(obj.get(), name));
}

Ref call(const Ref& fn, std::initializer_list<PyObject*> args, std::initializer_list<Kw> kwargs) {
    // Slot 0 stays free so the callee may use PY_VECTORCALL_ARGUMENTS_OFFSET.
    std::vector<PyObject*> stack;
    stack.reserve(1 + args.size() + kwargs.size());
    stack.push_back(nullptr);
    stack.insert(stack.end(), args.begin(), args.end());
    Ref kwnames;
    if (kwargs.size() != 0) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(kwargs.size())));
        Py_ssize_t i = 0;
        for (const Kw& kw : kwargs) {
            PyTuple_SET_ITEM(kwnames.get(), i++, Ref::steal(PyUnicode_InternFromString(kw.name)).release());
            stack.push_back(kw.value);
        }
    }
    return Ref::steal(PyObject_Vectorcall(fn.get(), stack.data() + 1,
                                          args.size() | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

}  // namespace vantor::host
