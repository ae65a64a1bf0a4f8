#include "host/scope.hpp"

#include "host/text.hpp"

namespace vantor::host {

Ref Scope::name(const char* name) const {
    Ref key = text(name);
    PyObject* found = nullptr;
    if (check(PyDict_GetItemRef(globals_.get(), key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && check(PyMapping_GetOptionalItem(builtins, key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", name);
}

Ref Scope::member(const char* name, const char* attr_name) const { return this->name(name).attr(attr_name); }

void Scope::print_line(Handle text) const { name("print")(text); }

void Scope::print_progress(Handle text) const { name("print")(text, Kw{"end", host::text("")}, Kw{"flush", Py_True}); }

}  // namespace vantor::host
