// After ffmpeg reports success: is the MP4 it wrote whole?
#pragma once

#include "host/ref.hpp"

#include <string>

namespace vantor::media {

// ffmpeg can exit 0 after failing to write an MP4's trailer (a full disk
// does this), leaving a file with no index. For a file that begins with an
// `ftyp` box, walks the top-level boxes: each must end within the file and
// one must be `moov`. Otherwise raises OSError (ENOSPC when the device is
// nearly full, EIO when not) naming `path` and `step`. No file, or a file in
// any other form, is left alone.
void require_complete_mp4(host::Handle path, const std::string& step);

}  // namespace vantor::media
