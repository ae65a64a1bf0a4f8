// Text joined at compile time, such as docstrings that name a service host
// fixed by the build.
#pragma once

#include <cstddef>

namespace vantor::host {

template <std::size_t N>
struct StaticText {
    char chars[N] = {};
    constexpr const char* c_str() const { return chars; }
};

// join("via ", host, " API.") as one NUL-terminated array.
template <std::size_t... N>
consteval auto join(const char (&... parts)[N]) {
    StaticText<(N + ...) - sizeof...(N) + 1> out;
    std::size_t at = 0;
    auto append = [&](const char* part, std::size_t size) {
        for (std::size_t i = 0; i + 1 < size; ++i) out.chars[at++] = part[i];
    };
    (append(parts, N), ...);
    return out;
}

}  // namespace vantor::host
