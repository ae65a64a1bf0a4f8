// A file object opened through the host's open(), closed on every way out.
#pragma once

#include "host/namespace.hpp"

namespace vantor::host {

class OpenFile {
public:
    // open(path, mode[, encoding=...]) looked up in the module namespace.
    OpenFile(const Namespace& ns, Handle path, const char* mode, const char* encoding = nullptr);
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    // Closes the file if close() was not reached. An error of close() itself
    // is raised with the pending error as its __context__, as `with` does.
    ~OpenFile();

    Handle file() const noexcept { return file_; }
    // write(data) on the file.
    void write(Handle data) const;
    // Closes the file; a failure to close is raised.
    void close();

private:
    Ref file_;
};

}  // namespace vantor::host
