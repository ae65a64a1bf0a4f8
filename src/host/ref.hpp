// The two tiers of object handles the engine uses.
//
// Ownership rules, for the whole engine:
// - A Ref owns one strong reference; it is move-only and releases it when it
//   dies. Functions that make an object return a Ref.
// - A Handle borrows: it never touches a reference count and must not outlive
//   what it was made from. Functions that only use an object take a Handle.
//   Every Ref is a Handle, so a Ref (even a temporary one, for the length of
//   the call) passes wherever a Handle is asked for.
// - A new reference from the C API goes straight into Ref::steal; a borrowed
//   one goes into a Handle, and Handle::new_ref() keeps it beyond that.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstddef>
#include <type_traits>
#include <utility>

namespace vantor::host {

class Ref;

// Keyword argument of a call: `fn(x, Kw{"check", Py_True})`.
struct Kw;

class Handle {
public:
    Handle() noexcept = default;
    Handle(PyObject* obj) noexcept : obj_(obj) {}  // implicit: C API pointers are borrowed

    // The pointer, lent for a C API call.
    PyObject* get() const noexcept { return obj_; }
    explicit operator bool() const noexcept { return obj_ != nullptr; }

    // getattr(obj, name)
    Ref attr(const char* name) const;
    // obj[key] for a str key
    Ref operator[](const char* key) const;
    // obj(*args, **kwargs): positional arguments first, then any Kw.
    template <class... Args>
    Ref operator()(const Args&... args) const;
    // bool(obj)
    bool truthy() const;
    // A strong reference of its own to the same object.
    Ref new_ref() const noexcept;

protected:
    PyObject* obj_ = nullptr;
};

struct Kw {
    const char* name;
    Handle value;
};

class Ref : public Handle {
public:
    Ref() noexcept = default;
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    Ref(Ref&& other) noexcept : Handle(std::exchange(other.obj_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            Ref old(std::move(*this));
            obj_ = std::exchange(other.obj_, nullptr);
        }
        return *this;
    }
    ~Ref() { Py_XDECREF(obj_); }

    // Takes over a new reference returned by the C API; NULL means an error
    // is set and is raised as PyError.
    static Ref steal(PyObject* obj);
    // Takes over a new reference that may legitimately be NULL.
    static Ref steal_or_null(PyObject* obj) noexcept { return Ref(obj); }

    // Gives the reference away, e.g. as a C API result.
    PyObject* release() noexcept { return std::exchange(obj_, nullptr); }

private:
    explicit Ref(PyObject* obj) noexcept : Handle(obj) {}
};

// The vectorcall behind Handle::operator(): `stack` holds one free slot, then
// the positional arguments, then the keyword values named by `names`.
Ref call_stack(Handle fn, PyObject** stack, std::size_t positional, const char* const* names,
               std::size_t keywords);

template <class... Args>
consteval bool keywords_come_last() {
    constexpr bool is_keyword[] = {std::is_same_v<Args, Kw>..., false};
    bool seen_keyword = false;
    for (std::size_t i = 0; i < sizeof...(Args); ++i) {
        if (seen_keyword && !is_keyword[i]) return false;
        seen_keyword = seen_keyword || is_keyword[i];
    }
    return true;
}

template <class... Args>
Ref Handle::operator()(const Args&... args) const {
    static_assert(keywords_come_last<Args...>(), "keyword arguments come after the positional ones");
    constexpr std::size_t keywords = (std::size_t{0} + ... + std::is_same_v<Args, Kw>);
    PyObject* stack[1 + sizeof...(Args)] = {nullptr};
    const char* names[1 + keywords] = {nullptr};
    [[maybe_unused]] std::size_t at = 1;
    [[maybe_unused]] std::size_t named = 0;
    [[maybe_unused]] auto put = [&](const auto& arg) {
        if constexpr (std::is_same_v<std::decay_t<decltype(arg)>, Kw>) {
            names[named++] = arg.name;
            stack[at++] = arg.value.get();
        } else {
            stack[at++] = Handle(arg).get();
        }
    };
    (put(args), ...);
    return call_stack(*this, stack, sizeof...(Args) - keywords, names, keywords);
}

}  // namespace vantor::host
