// Client of the video download service: job request, progress polls, and the
// file fetch with wget.
#pragma once

#include "host/scope.hpp"

namespace vantor::download {

void download_video(const host::Scope& scope, host::Handle url, host::Handle output_file);

}  // namespace vantor::download
