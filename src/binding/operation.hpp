// What the module knows about each exported operation, written as one table
// per operation beside the C++ function that does its work: the parameter
// names and defaults, the return annotation and the docstring. The number and
// kind of the parameters come from that function's own parameter types:
// host::Handle for a "str" parameter, double for a "float" one. A table that
// disagrees with its function does not compile.
#pragma once

#include "host/namespace.hpp"

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <type_traits>
#include <utility>

namespace vantor {

enum class ParamKind {
    text,    // exactly str; passed on as the object
    number,  // converted with the host's float conversion
};

inline constexpr std::size_t max_params = 5;

struct Param {
    const char* name = nullptr;
    const char* default_text = nullptr;  // a str default, or nullptr: required
    ParamKind kind = ParamKind::text;    // filled in from the function's type

    constexpr Param() = default;
    constexpr Param(const char* name, const char* default_text = nullptr) : name(name), default_text(default_text) {}

    constexpr const char* annotation() const { return kind == ParamKind::text ? "str" : "float"; }
};

// Arguments after binding, in parameter order: objects are borrowed from the
// call's own stack or from __defaults__, numbers are converted already.
struct BoundArgs {
    PyObject* objects[max_params] = {};
    double numbers[max_params] = {};

    template <class T>
    T take(std::size_t j) const {
        if constexpr (std::is_same_v<T, double>) {
            return numbers[j];
        } else {
            return host::Handle(objects[j]);
        }
    }
};

using Invoke = host::Ref (*)(const host::Namespace& ns, const BoundArgs& args);

struct Operation {
    const char* name;
    std::array<Param, max_params> param_table;
    std::size_t param_count;
    std::size_t required;  // the leading parameters that have no default
    const char* return_annotation;
    const char* doc;
    Invoke invoke;

    std::span<const Param> params() const { return {param_table.data(), param_count}; }
};

namespace detail {

template <class T>
consteval ParamKind kind_of() {
    static_assert(std::is_same_v<T, host::Handle> || std::is_same_v<T, double>,
                  "an operation's parameters are host::Handle (str) or double (float)");
    return std::is_same_v<T, double> ? ParamKind::number : ParamKind::text;
}

template <class F>
struct Body;

// A body is `R f(const host::Namespace&, P...)` with R either void (the
// operation returns None) or host::Ref.
template <class R, class... P>
struct Body<R (*)(const host::Namespace&, P...)> {
    static constexpr bool returns_none = std::is_void_v<R>;
    static constexpr std::size_t arity = sizeof...(P);
    static constexpr ParamKind kinds[] = {kind_of<P>()..., ParamKind::text};

    template <R (*F)(const host::Namespace&, P...)>
    static host::Ref invoke(const host::Namespace& ns, const BoundArgs& args) {
        return [&]<std::size_t... J>(std::index_sequence<J...>) {
            if constexpr (returns_none) {
                F(ns, args.take<P>(J)...);
                return host::Handle(Py_None).new_ref();
            } else {
                return F(ns, args.take<P>(J)...);
            }
        }(std::index_sequence_for<P...>{});
    }
};

}  // namespace detail

// The table of one operation, checked against its body `F` at compile time.
template <auto F, std::size_t N>
consteval Operation operation(const char* name, const Param (&params)[N], const char* return_annotation,
                              const char* doc) {
    using Body = detail::Body<decltype(F)>;
    static_assert(Body::arity == N, "the table names every parameter of the body, in order");
    static_assert(N <= max_params, "raise max_params");
    if (Body::returns_none != (std::string_view(return_annotation) == "None")) {
        throw "a body that returns void is annotated \"None\", and only such a body";
    }
    Operation op{name, {}, N, N, return_annotation, doc, &Body::template invoke<F>};
    for (std::size_t j = 0; j < N; ++j) {
        op.param_table[j] = params[j];
        op.param_table[j].kind = Body::kinds[j];
        if (params[j].default_text == nullptr && op.required != N) {
            throw "a required parameter follows one with a default";
        }
        if (params[j].default_text != nullptr && op.required == N) op.required = j;
        if (params[j].default_text != nullptr && Body::kinds[j] != ParamKind::text) {
            throw "only a str parameter has a default";
        }
    }
    return op;
}

// The four operations, in the order they are defined and bound.
std::span<const Operation* const> operations();

}  // namespace vantor
