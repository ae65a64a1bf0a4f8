// Owned references to Python objects, and the exception that carries a
// Python error through C++ frames.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vantor::host {

// Thrown when a Python error is set. The error indicator stays set while the
// exception unwinds; the function object's entry point turns it into NULL.
struct PyError {};

// Move-only owner of one strong reference. There is no implicit conversion to
// PyObject*: get() lends the pointer, release() gives the reference away.
class Ref {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Ref old(std::move(*this));
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference returned by the C API; NULL means an error
    // is set and is raised as PyError.
    static Ref steal(PyObject* obj) {
        if (obj == nullptr) throw PyError{};
        return Ref(obj);
    }
    // Takes over a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* obj) noexcept { return Ref(obj); }
    // Adds a reference of its own to a borrowed one.
    static Ref borrow(PyObject* obj) {
        if (obj == nullptr) throw PyError{};
        Py_INCREF(obj);
        return Ref(obj);
    }

    PyObject* get() const noexcept { return obj_; }
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }
    explicit operator bool() const noexcept { return obj_ != nullptr; }
    Ref copy() const { return borrow(obj_); }

private:
    explicit Ref(PyObject* obj) noexcept : obj_(obj) {}
    PyObject* obj_ = nullptr;
};

// Raises PyError when a C API call reported failure with -1.
inline int check(int status) {
    if (status < 0) throw PyError{};
    return status;
}

}  // namespace vantor::host
