// One narrated clip per segment: narration, cut, merge, tidy up.
#pragma once

#include "host/namespace.hpp"

namespace vantor::pipeline {

struct SegmentJob {
    host::Handle segment;
    Py_ssize_t index;  // 0-based position; file names count from 0
    Py_ssize_t count;
    host::Handle output_dir;
    host::Handle video_file;
    host::Handle tts_voice;
    host::Handle final_files;  // list the merged clip's path is appended to
};

void produce_segment_clip(const host::Namespace& ns, const SegmentJob& job);

}  // namespace vantor::pipeline
