// Reading members of decoded JSON answers from the web services.
#pragma once

#include "host/py_error.hpp"
#include "host/ref.hpp"

namespace vantor::host {

// answer.get(key, fallback) for a JSON object; TypeError naming `source`
// when the answer is not an object at all.
Ref json_member_or(Handle answer, const char* key, Handle fallback, const char* source);

}  // namespace vantor::host
