#include "host/json_member.hpp"

#include "host/text.hpp"

namespace vantor::host {

Ref json_member_or(const Ref& answer, const char* key, PyObject* fallback, const char* source) {
    if (!PyDict_Check(answer.get())) {
        PyErr_Format(PyExc_TypeError, "%s answered with a JSON %.200s where an object was expected", source,
                     Py_TYPE(answer.get())->tp_name);
        throw PyError{};
    }
    PyObject* found = nullptr;
    if (check(PyDict_GetItemStringRef(answer.get(), key, &found)) == 1) return Ref::steal(found);
    return Ref::borrow(fallback);
}

Ref json_member(const Ref& answer, const char* key) {
    Ref name = text(key);
    return Ref::steal(PyObject_GetItem(answer.get(), name.get()));
}

bool is_true(const Ref& value) { return check(PyObject_IsTrue(value.get())) == 1; }

}  // namespace vantor::host
