#include "media/ffmpeg_path.hpp"

#include "host/text.hpp"

namespace vantor::media {

using host::Ref;

namespace {

Py_ssize_t find(host::Handle path, Py_UCS4 ch, Py_ssize_t length) {
    Py_ssize_t at = PyUnicode_FindChar(path.get(), ch, 0, length, 1);
    if (at == -2) throw host::PyError{};
    return at;
}

}  // namespace

Ref ffmpeg_path(host::Handle path) {
    const Py_ssize_t length = PyUnicode_GetLength(path.get());
    if (length < 0) throw host::PyError{};
    if (length == 0) return path.new_ref();

    bool ambiguous = PyUnicode_ReadChar(path.get(), 0) == '-';
    if (!ambiguous) {
        const Py_ssize_t colon = find(path, ':', length);
        const Py_ssize_t slash = find(path, '/', length);
        ambiguous = colon >= 0 && (slash < 0 || colon < slash);
    }
    if (!ambiguous) return path.new_ref();
    Ref dot_slash = host::text("./");
    return host::concat({dot_slash, path});
}

}  // namespace vantor::media
