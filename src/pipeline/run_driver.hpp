// A whole recap run, from the video address to FINAL_RECAP.mp4.
#pragma once

#include "host/scope.hpp"

namespace vantor::pipeline {

struct RecapRequest {
    const host::Ref& youtube_url;
    const host::Ref& segments_file;
    double speed_factor;
    const host::Ref& tts_voice;
    const host::Ref& output_dir;
};

// Runs every step in order; any error ends the run with files left as they
// are. Returns the path of the finished vertical video.
host::Ref run_recap(const host::Scope& scope, const RecapRequest& request);

}  // namespace vantor::pipeline
