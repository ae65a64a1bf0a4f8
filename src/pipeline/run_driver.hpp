// A whole recap run, from the video address to FINAL_RECAP.mp4.
#pragma once

#include "host/namespace.hpp"

namespace vantor::pipeline {

// Runs every step in order; any error ends the run with files left as they
// are. Returns the path of the finished vertical video.
host::Ref run_recap(const host::Namespace& ns, host::Handle youtube_url, host::Handle segments_file,
                    double speed_factor, host::Handle tts_voice, host::Handle output_dir);

}  // namespace vantor::pipeline
