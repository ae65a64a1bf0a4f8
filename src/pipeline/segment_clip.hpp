// One narrated clip per segment: narration, cut, merge, tidy up.
#pragma once

#include "host/scope.hpp"

namespace vantor::pipeline {

struct SegmentJob {
    const host::Ref& segment;
    Py_ssize_t index;  // 0-based position; file names count from 0
    Py_ssize_t count;
    const host::Ref& output_dir;
    const host::Ref& video_file;
    const host::Ref& tts_voice;
    const host::Ref& final_files;  // list the merged clip's path is appended to
};

void produce_segment_clip(const host::Scope& scope, const SegmentJob& job);

}  // namespace vantor::pipeline
