// Joining the merged clips, converting to the vertical frame, cleaning up.
#pragma once

#include "host/namespace.hpp"
#include "pipeline/working_files.hpp"

namespace vantor::pipeline {

// Concatenates final_files into temp_output, converts it to 1080x1920 at
// speed_factor (hardware encoder, then software on failure), removes the
// working files and returns final_output.
host::Ref assemble_final(const host::Namespace& ns, host::Handle final_files, const RunPaths& paths,
                         double speed_factor);

// The concat demuxer's list line for one clip: file '<absolute path>'.
// Apostrophes are written as '\'' so the tool reads the path back exactly.
host::Ref concat_list_line(const host::Namespace& ns, host::Handle clip_path);

}  // namespace vantor::pipeline
