// Reading the segments file: a UTF-8 JSON array of {start, end, voiceover}.
#pragma once

#include "host/scope.hpp"

namespace vantor::pipeline {

// Opens the file as strict UTF-8 text, parses it whole with json.load and
// closes it on every path. Members are not checked here: each is looked up
// when a segment needs it.
host::Ref read_segments_file(const host::Scope& scope, const host::Ref& path);

// Number of segments; anything but a JSON array is refused with TypeError.
Py_ssize_t segment_count(const host::Ref& segments);

// seg[member], raising the host's own error for a missing member or an
// element that is not an object.
host::Ref segment_member(const host::Ref& segment, const char* member);

}  // namespace vantor::pipeline
