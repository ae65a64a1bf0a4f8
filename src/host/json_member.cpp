#include "host/json_member.hpp"

namespace vantor::host {

Ref json_member_or(Handle answer, const char* key, Handle fallback, const char* source) {
    if (!PyDict_Check(answer.get())) {
        raise_format(PyExc_TypeError, "%s answered with a JSON %.200s where an object was expected", source,
                     Py_TYPE(answer.get())->tp_name);
    }
    PyObject* found = nullptr;
    if (check(PyDict_GetItemStringRef(answer.get(), key, &found)) == 1) return Ref::steal(found);
    return fallback.new_ref();
}

}  // namespace vantor::host
