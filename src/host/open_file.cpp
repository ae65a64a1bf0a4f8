#include "host/open_file.hpp"

#include "host/text.hpp"

namespace vantor::host {

OpenFile::OpenFile(const Namespace& ns, Handle path, const char* mode, const char* encoding)
    : file_(ns.open(path, mode, encoding)) {}

OpenFile::~OpenFile() {
    if (!file_) return;
    Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
    if (!pending) {
        // Only a C++ error unwinds without a Python one; there is no one to tell.
        Ref closed = Ref::steal_or_null(PyObject_CallMethod(file_.get(), "close", nullptr));
        if (!closed) PyErr_WriteUnraisable(file_.get());
        return;
    }
    // As the host's `with` does: close() runs while the pending error is being
    // handled, so an error of its own leaves with the pending one as its
    // __context__ (chained by the host, cycles avoided); otherwise the pending
    // error goes on.
    Ref outer = Ref::steal_or_null(PyErr_GetHandledException());
    PyErr_SetHandledException(pending.get());
    Ref closed = Ref::steal_or_null(PyObject_CallMethod(file_.get(), "close", nullptr));
    PyErr_SetHandledException(outer.get());
    if (closed) PyErr_SetRaisedException(pending.release());
}

void OpenFile::write(Handle data) const { file_.attr("write")(data); }

void OpenFile::close() {
    Ref file = std::move(file_);
    file.attr("close")();
}

}  // namespace vantor::host
