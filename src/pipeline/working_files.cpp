#include "pipeline/working_files.hpp"

#include "host/text.hpp"

namespace vantor::pipeline {

using host::Handle;

RunPaths RunPaths::join(Handle output_dir) {
    RunPaths paths;
    paths.video_file = host::join_path(output_dir, "movie.mp4");
    paths.temp_output = host::join_path(output_dir, "horizontal_final.mp4");
    paths.final_output = host::join_path(output_dir, "FINAL_RECAP.mp4");
    paths.filelist = host::join_path(output_dir, "filelist.txt");
    return paths;
}

void refuse_unlistable_dir(Handle output_dir) {
    const Py_ssize_t length = PyUnicode_GetLength(output_dir.get());
    if (length < 0) throw host::PyError{};
    for (Py_UCS4 line_end : {Py_UCS4{'\n'}, Py_UCS4{'\r'}}) {
        const Py_ssize_t at = PyUnicode_FindChar(output_dir.get(), line_end, 0, length, 1);
        if (at == -2) throw host::PyError{};
        if (at >= 0) {
            PyErr_SetString(PyExc_ValueError,
                            "output_dir holds a line break or carriage return, which ffmpeg's concatenation list "
                            "cannot name: choose a directory without one");
            throw host::PyError{};
        }
    }
}

void remove_if_exists(const host::Namespace& ns, Handle path) {
    if (ns.path_exists(path)) ns.remove(path);
}

}  // namespace vantor::pipeline
