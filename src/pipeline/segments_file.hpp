// Reading the segments file: a UTF-8 JSON array of {start, end, voiceover}.
#pragma once

#include "host/namespace.hpp"

namespace vantor::pipeline {

// Opens the file as strict UTF-8 text, parses it whole with json.load and
// closes it on every path. Members are not checked here: each is looked up
// (segment["start"]) when a segment needs it, so a missing member or an
// element that is not an object raises the host's own error there.
host::Ref read_segments_file(const host::Namespace& ns, host::Handle path);

// Number of segments; anything but a JSON array is refused with TypeError.
Py_ssize_t segment_count(host::Handle segments);

}  // namespace vantor::pipeline
