#include "host/namespace.hpp"

#include "host/text.hpp"

namespace vantor::host {

namespace {
PyObject* the_run_bindings = nullptr;  // a strong reference, never released
}  // namespace

PyObject* run_bindings() noexcept { return the_run_bindings; }

void create_run_bindings(const char* name) {
    if (the_run_bindings != nullptr) return;
    the_run_bindings = Ref::steal(PyContextVar_New(name, Py_None)).release();
}

Ref Namespace::global(const char* name) const {
    Ref key = text(name);
    PyObject* found = nullptr;
    if (the_run_bindings != nullptr) {
        PyObject* raw = nullptr;
        check(PyContextVar_Get(the_run_bindings, nullptr, &raw));
        Ref bindings = Ref::steal(raw);
        if (bindings.get() != Py_None && check(PyMapping_GetOptionalItem(bindings.get(), key.get(), &found)) == 1) {
            return Ref::steal(found);
        }
    }
    if (check(PyDict_GetItemRef(globals_.get(), key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    PyObject* builtins = PyEval_GetBuiltins();  // borrowed
    if (builtins != nullptr && check(PyMapping_GetOptionalItem(builtins, key.get(), &found)) == 1) {
        return Ref::steal(found);
    }
    raise_format(PyExc_NameError, "name '%s' is not defined", name);
}

Ref Namespace::step_host() const {
    if (the_run_bindings == nullptr) return Ref{};
    PyObject* raw = nullptr;
    check(PyContextVar_Get(the_run_bindings, nullptr, &raw));
    Ref bindings = Ref::steal(raw);
    if (bindings.get() == Py_None) return Ref{};
    Ref key = text("host");
    PyObject* found = nullptr;
    if (check(PyMapping_GetOptionalItem(bindings.get(), key.get(), &found)) == 1) {
        Ref host = Ref::steal(found);
        if (host.get() != Py_None) return host;
    }
    return Ref{};
}

Ref Namespace::step(Handle host, const char* kind, Handle fields) const {
    return host.attr("step")(text(kind), fields);
}

void Namespace::event(const char* kind, Handle line, std::initializer_list<Item> values, bool overwrites) const {
    Ref host = step_host();
    if (!host) {
        if (overwrites) print_progress(line); else print_line(line);
        return;
    }
    Ref fields = dict(values);
    check(PyDict_SetItemString(fields.get(), "kind", text(kind).get()));
    check(PyDict_SetItemString(fields.get(), "text", line.get()));
    step(host, "event", fields);
}

void Namespace::pause(Handle seconds, const char* why) const {
    Ref host = step_host();
    if (!host) return sleep(seconds);
    step(host, "pause", dict({{"seconds", seconds}, {"why", text(why)}}));
}

Ref Namespace::command(const char* kind, Handle argv, std::initializer_list<Item> fields, bool checked) const {
    Ref host = step_host();
    if (!host) {
        if (!checked) return run_captured(argv);
        run_checked(argv);
        return Ref::steal(PyLong_FromLong(0));
    }
    Ref data = dict(fields);
    check(PyDict_SetItemString(data.get(), "argv", argv.get()));
    Ref status = step(host, kind, data);
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (checked && check(PyObject_RichCompareBool(status.get(), zero.get(), Py_NE)) == 1) {
        Ref error = member("subprocess", "CalledProcessError")(status, argv);
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
        throw PyError{};
    }
    return status;
}

void Namespace::clean_up(std::initializer_list<Handle> paths) const {
    Ref list = Ref::steal(PyList_New(0));
    for (Handle path : paths) check(PyList_Append(list.get(), path.get()));
    clean_up(list);
}

void Namespace::clean_up(Handle path_list) const {
    Ref host = step_host();
    if (host) {
        step(host, "cleanup", dict({{"paths", path_list}}));
        return;
    }
    Py_ssize_t count = PyList_GET_SIZE(path_list.get());
    for (Py_ssize_t i = 0; i < count; ++i) {
        Ref path = Ref::steal(PyList_GetItemRef(path_list.get(), i));
        if (path_exists(path)) remove(path);
    }
}

Ref Namespace::member(const char* name, const char* attr) const { return global(name).attr(attr); }

bool Namespace::path_exists(Handle path) const { return member("os", "path").attr("exists")(path).truthy(); }

void Namespace::remove(Handle path) const { member("os", "remove")(path); }

Ref Namespace::absolute_path(Handle path) const { return member("os", "path").attr("abspath")(path); }

Ref Namespace::open(Handle path, const char* mode, const char* encoding) const {
    Ref mode_text = text(mode);
    if (encoding == nullptr) return global("open")(path, mode_text);
    return global("open")(path, mode_text, Kw{"encoding", text(encoding)});
}

Ref Namespace::json_load(Handle file) const { return member("json", "load")(file); }

void Namespace::run_checked(Handle argv) const { member("subprocess", "run")(argv, Kw{"check", Py_True}); }

Ref Namespace::run_captured(Handle argv) const {
    return member("subprocess", "run")(argv, Kw{"capture_output", Py_True}).attr("returncode");
}

Ref Namespace::http_get(Handle url, Handle headers, Handle timeout) const {
    return member("requests", "get")(url, Kw{"headers", headers}, Kw{"timeout", timeout});
}

Ref Namespace::http_post(Handle url, Handle payload, Handle headers, Handle timeout) const {
    return member("requests", "post")(url, Kw{"json", payload}, Kw{"headers", headers}, Kw{"timeout", timeout});
}

Ref Namespace::quote_all(Handle text_to_quote) const { return global("quote")(text_to_quote, Kw{"safe", text("")}); }

Ref Namespace::regex_sub(Handle pattern, Handle replacement, Handle subject) const {
    return member("re", "sub")(pattern, replacement, subject);
}

Ref Namespace::b64decode(Handle encoded) const { return member("base64", "b64decode")(encoded); }

void Namespace::sleep(Handle seconds) const { member("time", "sleep")(seconds); }

void Namespace::print_line(Handle line) const { global("print")(line); }

void Namespace::print_progress(Handle progress) const {
    global("print")(progress, Kw{"end", text("")}, Kw{"flush", Py_True});
}

void Namespace::download_video(Handle url, Handle output_file) const { global("_download_video")(url, output_file); }

void Namespace::generate_tts(Handle narration, Handle output_file, Handle voice) const {
    global("_generate_tts")(narration, output_file, voice);
}

Ref Namespace::build_atempo_chain(Handle speed) const { return global("_build_atempo_chain")(speed); }

}  // namespace vantor::host
