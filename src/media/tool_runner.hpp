// Running outside programs (ffmpeg, wget) through the host's subprocess module.
#pragma once

#include "host/scope.hpp"

namespace vantor::media {

// An argument vector: a Python list of str, program name first.
class Argv {
public:
    Argv();
    Argv& add(const char* literal);
    Argv& add(host::Handle value);  // appended as it is, str or not
    host::Handle list() const noexcept { return list_; }

private:
    host::Ref list_;
};

// subprocess.run(argv, check=True): the tool shares the host's streams and a
// non-zero exit status raises CalledProcessError.
void run_checked(const host::Scope& scope, const Argv& argv);

// subprocess.run(argv, capture_output=True): output collected and dropped;
// returns the exit status object. A tool that cannot start still raises.
host::Ref run_captured(const host::Scope& scope, const Argv& argv);

}  // namespace vantor::media
