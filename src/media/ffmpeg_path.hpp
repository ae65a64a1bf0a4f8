// File paths as ffmpeg must be given them.
#pragma once

#include "host/ref.hpp"

namespace vantor::media {

// ffmpeg reads a name that begins with "-" as an option and one with ":"
// before its first "/" as a protocol ("pipe:1", "file:x", a time stamp).
// Such a path gets "./" in front, which names the same file; every other
// path is handed back unchanged.
host::Ref ffmpeg_path(host::Handle path);

}  // namespace vantor::media
