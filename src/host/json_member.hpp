// Reading members of decoded JSON answers from the web services.
#pragma once

#include "host/ref.hpp"

namespace vantor::host {

// answer.get(key, fallback) for a JSON object; TypeError naming `source`
// when the answer is not an object at all.
Ref json_member_or(const Ref& answer, const char* key, PyObject* fallback, const char* source);

// answer[key]: KeyError naming the key when it is missing.
Ref json_member(const Ref& answer, const char* key);

// Python truth value of `value`.
bool is_true(const Ref& value);

}  // namespace vantor::host
