#include "host/ref.hpp"

#include "host/py_error.hpp"

namespace vantor::host {

Ref Ref::steal(PyObject* obj) {
    if (obj == nullptr) throw PyError{};
    return Ref(obj);
}

Ref Handle::new_ref() const noexcept { return Ref::steal_or_null(Py_XNewRef(obj_)); }

Ref Handle::attr(const char* name) const { return Ref::steal(PyObject_GetAttrString(obj_, name)); }

Ref Handle::operator[](const char* key) const {
    Ref name = Ref::steal(PyUnicode_FromString(key));
    return Ref::steal(PyObject_GetItem(obj_, name.get()));
}

bool Handle::truthy() const { return check(PyObject_IsTrue(obj_)) == 1; }

Ref call_stack(Handle fn, PyObject** stack, std::size_t positional, const char* const* names,
               std::size_t keywords) {
    Ref kwnames;
    if (keywords != 0) {
        kwnames = Ref::steal(PyTuple_New(static_cast<Py_ssize_t>(keywords)));
        for (std::size_t i = 0; i < keywords; ++i) {
            PyTuple_SET_ITEM(kwnames.get(), i, Ref::steal(PyUnicode_InternFromString(names[i])).release());
        }
    }
    // Slot 0 stays free so the callee may use PY_VECTORCALL_ARGUMENTS_OFFSET.
    return Ref::steal(
        PyObject_Vectorcall(fn.get(), stack + 1, positional | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
}

}  // namespace vantor::host
