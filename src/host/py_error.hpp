// How a Python error crosses C++ frames, and back out to the host.
#pragma once

#include "host/ref.hpp"

#include <cassert>
#include <exception>
#include <utility>

namespace vantor::host {

// Thrown only while a Python error is set. The error indicator stays set as
// the exception unwinds; guard() hands it to the host.
class PyError : public std::exception {
public:
    PyError() noexcept { assert(PyErr_Occurred() != nullptr); }
    const char* what() const noexcept override { return "a Python error is set"; }
};

// Raises PyError when a C API call reported failure with -1.
inline int check(int status) {
    if (status < 0) throw PyError{};
    return status;
}

// PyErr_Format, then PyError.
template <class... Args>
[[noreturn]] void raise_format(PyObject* type, const char* format, Args... args) {
    PyErr_Format(type, format, args...);
    throw PyError{};
}

// Raises the host's built-in Exception carrying `message`.
[[noreturn]] void raise_exception(Handle message);

// Sets the Python error for the exception being handled: a PyError's is set
// already, bad_alloc becomes MemoryError, anything else SystemError.
void set_error_from_current_exception() noexcept;

// Every entry point the host calls runs its body through here: the body's
// result, or `failed` (NULL, -1) with the Python error set.
template <class Result, class Body>
Result guard(Result failed, Body&& body) noexcept {
    try {
        return std::forward<Body>(body)();
    } catch (...) {
        set_error_from_current_exception();
        return failed;
    }
}

}  // namespace vantor::host
