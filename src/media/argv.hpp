// Argument vectors for outside programs (ffmpeg, wget), run through
// Namespace::run_checked and run_captured.
#pragma once

#include "host/ref.hpp"

namespace vantor::media {

// An argument vector: a Python list of str, program name first.
class Argv {
public:
    Argv();
    // ffmpeg -y -loglevel error: overwrites its output, reports only errors.
    static Argv ffmpeg();
    Argv& add(const char* literal);
    Argv& add(host::Handle value);  // appended as it is, str or not
    host::Handle list() const noexcept { return list_; }

private:
    host::Ref list_;
};

}  // namespace vantor::media
