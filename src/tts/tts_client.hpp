// Client of the text-to-speech service: one narration text, one audio file.
#pragma once

#include "host/scope.hpp"

namespace vantor::tts {

void generate_tts(const host::Scope& scope, host::Handle text, host::Handle output_file, host::Handle voice);

}  // namespace vantor::tts
