#include "pipeline/working_files.hpp"

#include "host/text.hpp"

namespace vantor::pipeline {

using host::Ref;

RunPaths RunPaths::join(const Ref& output_dir) {
    RunPaths paths;
    paths.video_file = host::join_path(output_dir, "movie.mp4");
    paths.temp_output = host::join_path(output_dir, "horizontal_final.mp4");
    paths.final_output = host::join_path(output_dir, "FINAL_RECAP.mp4");
    paths.filelist = host::join_path(output_dir, "filelist.txt");
    return paths;
}

void remove_if_exists(const host::Scope& scope, const Ref& path) {
    Ref exists = host::call(host::attr(scope.member("os", "path"), "exists"), {path.get()});
    if (host::check(PyObject_IsTrue(exists.get())) == 1) {
        host::call(scope.member("os", "remove"), {path.get()});
    }
}

}  // namespace vantor::pipeline
