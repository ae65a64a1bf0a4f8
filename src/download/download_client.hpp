// Client of the video download service: job request, progress polls, and the
// file fetch with wget.
#pragma once

#include "host/namespace.hpp"

namespace vantor::download {

void download_video(const host::Namespace& ns, host::Handle url, host::Handle output_file);

}  // namespace vantor::download
