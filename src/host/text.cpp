#include "host/text.hpp"

namespace vantor::host {

namespace {

std::string double_text(double value, char code, int precision, int flags) {
    char* raw = PyOS_double_to_string(value, code, precision, flags, nullptr);
    if (raw == nullptr) throw PyError{};
    std::string out(raw);
    PyMem_Free(raw);
    return out;
}

}  // namespace

Ref text(const char* utf8) { return Ref::steal(PyUnicode_FromString(utf8)); }

Ref concat(std::initializer_list<Handle> parts) {
    Ref out = text("");
    for (Handle part : parts) {
        out = Ref::steal(PyUnicode_Concat(out.get(), part.get()));
    }
    return out;
}

Ref join_path(Handle dir, const char* file_name) {
    Ref name = text(file_name);
    Py_ssize_t length = PyUnicode_GetLength(dir.get());
    if (length < 0) throw PyError{};
    if (length == 0) return name;
    Ref slash = text("/");
    Py_ssize_t ends_with_slash = PyUnicode_Tailmatch(dir.get(), slash.get(), 0, PY_SSIZE_T_MAX, +1);
    if (ends_with_slash < 0) throw PyError{};
    if (ends_with_slash == 1) {
        return concat({dir, name});
    }
    return concat({dir, slash, name});
}

std::string short_decimal(double value) { return double_text(value, 'r', 0, Py_DTSF_ADD_DOT_0); }

std::string fixed_decimal(double value, int digits) { return double_text(value, 'f', digits, 0); }

}  // namespace vantor::host
