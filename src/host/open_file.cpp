#include "host/open_file.hpp"

#include "host/text.hpp"

namespace vantor::host {

OpenFile::OpenFile(const Namespace& ns, Handle path, const char* mode, const char* encoding)
    : file_(ns.open(path, mode, encoding)) {}

OpenFile::~OpenFile() {
    if (!file_) return;
    Ref pending = Ref::steal_or_null(PyErr_GetRaisedException());
    Ref result = Ref::steal_or_null(PyObject_CallMethod(file_.get(), "close", nullptr));
    if (!result) {
        // The error already on its way out is the one the caller must see.
        if (pending) PyErr_Clear();
        else PyErr_WriteUnraisable(file_.get());
    }
    if (pending) PyErr_SetRaisedException(pending.release());
}

void OpenFile::write(Handle data) const { file_.attr("write")(data); }

void OpenFile::close() {
    Ref file = std::move(file_);
    file.attr("close")();
}

}  // namespace vantor::host
