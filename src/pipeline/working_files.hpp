// The files a recap run writes in its output directory.
#pragma once

#include "host/namespace.hpp"

namespace vantor::pipeline {

// Run-wide working paths, joined from output_dir at the start of a run.
struct RunPaths {
    host::Ref video_file;    // movie.mp4: the downloaded source
    host::Ref temp_output;   // horizontal_final.mp4: the joined clips, kept
    host::Ref final_output;  // FINAL_RECAP.mp4: the result, kept
    host::Ref filelist;      // filelist.txt: the concatenation list

    static RunPaths join(host::Handle output_dir);
};

// ValueError for an output_dir holding a line feed or carriage return: the
// concatenation list names one file per line, so such a run could only fail
// at its end, after all the work.
void refuse_unlistable_dir(host::Handle output_dir);

// os.remove(path) when os.path.exists(path); a missing path is passed over.
void remove_if_exists(const host::Namespace& ns, host::Handle path);

}  // namespace vantor::pipeline
