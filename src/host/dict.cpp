#include "host/dict.hpp"

#include "host/py_error.hpp"

namespace vantor::host {

Ref dict(std::initializer_list<Item> items) {
    Ref out = Ref::steal(PyDict_New());
    for (const Item& item : items) check(PyDict_SetItemString(out.get(), item.key, item.value.get()));
    return out;
}

}  // namespace vantor::host
