#include "host/py_error.hpp"

#include <new>

namespace vantor::host {

void raise_exception(Handle message) {
    PyErr_SetObject(PyExc_Exception, message.get());
    throw PyError{};
}

void set_error_from_current_exception() noexcept {
    try {
        throw;
    } catch (const PyError&) {
        // Set when it was thrown.
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        PyErr_SetString(PyExc_SystemError, error.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception in vantor.vantor");
    }
}

}  // namespace vantor::host
