// The module namespace as the operations see it: every facility (json,
// subprocess, requests, ...) and every operation is looked up by name at the
// moment of use, so a host that rebinds a name is honoured by the next use.
#pragma once

#include "host/ref.hpp"

namespace vantor::host {

class Scope {
public:
    // `globals` is the module's dict, kept alive by the caller for the call.
    explicit Scope(Handle globals) noexcept : globals_(globals) {}

    // Resolves a global name as Python code in the module would: the module
    // namespace first, then builtins; NameError when neither has it.
    Ref name(const char* name) const;

    // `module.attr` for a facility looked up by name, e.g. ("os", "remove").
    Ref member(const char* name, const char* attr) const;

    // print(text) through the host's own print, so a redirected sys.stdout
    // receives the line.
    void print_line(Handle text) const;
    // print(text, end="", flush=True): progress text that overwrites itself.
    void print_progress(Handle text) const;

private:
    Handle globals_;
};

}  // namespace vantor::host
