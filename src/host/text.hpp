// Building Python text: literals, formatted lines, working paths and the
// host's own ways of writing numbers.
#pragma once

#include "host/py_error.hpp"
#include "host/ref.hpp"

#include <initializer_list>
#include <string>
#include <type_traits>

namespace vantor::host {

// A str from UTF-8 source text.
Ref text(const char* utf8);

// PyUnicode_FromFormat with the error turned into PyError; a Handle (or
// Ref) argument is passed as its object, for "%U", "%S" and "%R".
template <class... Args>
Ref format(const char* fmt, const Args&... args) {
    auto raw = [](const auto& arg) {
        if constexpr (std::is_base_of_v<Handle, std::decay_t<decltype(arg)>>) {
            return arg.get();
        } else {
            return arg;
        }
    };
    return Ref::steal(PyUnicode_FromFormat(fmt, raw(args)...));
}

// Concatenation of str objects.
Ref concat(std::initializer_list<Handle> parts);

// Joins a directory and a file name without normalising anything: an empty
// directory gives the bare name, one that ends in "/" gets the name appended
// directly, any other gets "/" and the name.
Ref join_path(Handle dir, const char* file_name);

// The shortest text that reads back as the same double, as repr(float) writes
// it ("2.0", "0.1", "1e-05", "inf", "nan").
std::string short_decimal(double value);
// Fixed-point text with `digits` decimals, as format(value, ".Nf") writes it.
std::string fixed_decimal(double value, int digits);

}  // namespace vantor::host

// Note: PyUnicode_FromFormat takes an ASCII format string; non-ASCII text
// (pictographs, arrows) goes in through "%s" arguments, which are UTF-8.
