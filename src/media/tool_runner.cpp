#include "media/tool_runner.hpp"

#include "host/text.hpp"

namespace vantor::media {

using host::Ref;

Argv::Argv() : list_(Ref::steal(PyList_New(0))) {}

Argv& Argv::add(const char* literal) { return add(host::text(literal)); }

Argv& Argv::add(const Ref& value) {
    host::check(PyList_Append(list_.get(), value.get()));
    return *this;
}

void run_checked(const host::Scope& scope, const Argv& argv) {
    host::call(scope.member("subprocess", "run"), {argv.list().get()}, {{"check", Py_True}});
}

Ref run_captured(const host::Scope& scope, const Argv& argv) {
    Ref result = host::call(scope.member("subprocess", "run"), {argv.list().get()},
                            {{"capture_output", Py_True}});
    return host::attr(result, "returncode");
}

}  // namespace vantor::media
