// Client of the text-to-speech service: one narration text, one audio file.
#pragma once

#include "host/namespace.hpp"

namespace vantor::tts {

void generate_tts(const host::Namespace& ns, host::Handle text, host::Handle output_file, host::Handle voice);

}  // namespace vantor::tts
