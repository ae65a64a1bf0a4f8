#include "pipeline/run_driver.hpp"

#include "host/text.hpp"
#include "pipeline/final_assembly.hpp"
#include "pipeline/segment_clip.hpp"
#include "pipeline/segments_file.hpp"
#include "pipeline/working_files.hpp"

namespace vantor::pipeline {

using host::Ref;

Ref run_recap(const host::Scope& scope, const RecapRequest& request) {
    refuse_unlistable_dir(request.output_dir);  // before anything is written
    RunPaths paths = RunPaths::join(request.output_dir);

    // A video left by an earlier run is never reused.
    remove_if_exists(scope, paths.video_file);
    scope.name("_download_video")(request.youtube_url, paths.video_file);

    Ref segments = read_segments_file(scope, request.segments_file);
    Py_ssize_t count = segment_count(segments);
    scope.print_line(host::format("%s%zd%s", "\U0001F3AC Processing ", count, " segments..."));

    Ref final_files = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Bounds-checked: a host hook could have changed the list meanwhile.
        Ref segment = Ref::steal(PyList_GetItemRef(segments.get(), i));
        produce_segment_clip(scope, SegmentJob{segment, i, count, request.output_dir, paths.video_file,
                                               request.tts_voice, final_files});
    }

    return assemble_final(scope, final_files, paths, request.speed_factor);
}

}  // namespace vantor::pipeline
