#include "media/argv.hpp"

#include "host/text.hpp"

namespace vantor::media {

using host::Ref;

Argv::Argv() : list_(Ref::steal(PyList_New(0))) {}

Argv Argv::ffmpeg() {
    Argv argv;
    argv.add("ffmpeg").add("-y").add("-loglevel").add("error");
    return argv;
}

Argv& Argv::add(const char* literal) { return add(host::text(literal)); }

Argv& Argv::add(host::Handle value) {
    host::check(PyList_Append(list_.get(), value.get()));
    return *this;
}

}  // namespace vantor::media
