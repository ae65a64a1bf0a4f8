#include "pipeline/segments_file.hpp"

#include "host/open_file.hpp"

namespace vantor::pipeline {

using host::Ref;

Ref read_segments_file(const host::Namespace& ns, host::Handle path) {
    host::OpenFile file(ns, path, "r", "utf-8");
    Ref segments = ns.json_load(file.file());
    file.close();
    return segments;
}

Py_ssize_t segment_count(host::Handle segments) {
    // A mapping or a string would otherwise be counted and iterated as if it
    // were a list of segments.
    if (!PyList_Check(segments.get())) {
        host::raise_format(PyExc_TypeError, "segments file must hold a JSON array of segments, not %.200s",
                     Py_TYPE(segments.get())->tp_name);
    }
    return PyList_GET_SIZE(segments.get());
}

}  // namespace vantor::pipeline
