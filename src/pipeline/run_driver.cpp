#include "pipeline/run_driver.hpp"

#include "host/text.hpp"
#include "pipeline/final_assembly.hpp"
#include "pipeline/segment_clip.hpp"
#include "pipeline/segments_file.hpp"
#include "pipeline/working_files.hpp"

namespace vantor::pipeline {

using host::Ref;

Ref run_recap(const host::Namespace& ns, host::Handle youtube_url, host::Handle segments_file, double speed_factor,
              host::Handle tts_voice, host::Handle output_dir) {
    refuse_unlistable_dir(output_dir);  // before anything is written
    RunPaths paths = RunPaths::join(output_dir);

    // A video left by an earlier run is never reused.
    remove_if_exists(ns, paths.video_file);
    ns.download_video(youtube_url, paths.video_file);

    Ref segments = read_segments_file(ns, segments_file);
    Py_ssize_t count = segment_count(segments);
    ns.event("segments", host::format("%s%zd%s", "\U0001F3AC Processing ", count, " segments..."),
             {{"count", Ref::steal(PyLong_FromSsize_t(count))}});

    Ref final_files = Ref::steal(PyList_New(0));
    for (Py_ssize_t i = 0; i < count; ++i) {
        // Bounds-checked: a host hook could have changed the list meanwhile.
        Ref segment = Ref::steal(PyList_GetItemRef(segments.get(), i));
        produce_segment_clip(ns, SegmentJob{segment, i, count, output_dir, paths.video_file, tts_voice,
                                               final_files});
    }

    return assemble_final(ns, final_files, paths, speed_factor);
}

}  // namespace vantor::pipeline
