// Client of the video download service: job request, progress polls, and the
// file fetch with wget.
#pragma once

#include "host/scope.hpp"

namespace vantor::download {

void download_video(const host::Scope& scope, const host::Ref& url, const host::Ref& output_file);

}  // namespace vantor::download
