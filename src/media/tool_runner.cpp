#include "media/tool_runner.hpp"

#include "host/text.hpp"

namespace vantor::media {

using host::Ref;

Argv::Argv() : list_(Ref::steal(PyList_New(0))) {}

Argv& Argv::add(const char* literal) { return add(host::text(literal)); }

Argv& Argv::add(host::Handle value) {
    host::check(PyList_Append(list_.get(), value.get()));
    return *this;
}

void run_checked(const host::Scope& scope, const Argv& argv) {
    scope.member("subprocess", "run")(argv.list(), host::Kw{"check", Py_True});
}

Ref run_captured(const host::Scope& scope, const Argv& argv) {
    return scope.member("subprocess", "run")(argv.list(), host::Kw{"capture_output", Py_True}).attr("returncode");
}

}  // namespace vantor::media
