// Client of the text-to-speech service: one narration text, one audio file.
#pragma once

#include "host/scope.hpp"

namespace vantor::tts {

void generate_tts(const host::Scope& scope, const host::Ref& text, const host::Ref& output_file,
                  const host::Ref& voice);

}  // namespace vantor::tts
