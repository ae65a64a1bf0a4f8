#include "media/atempo_chain.hpp"

#include "host/text.hpp"

#include <cmath>

namespace vantor::media {

std::string build_atempo_chain(double speed) {
    if (speed <= 2.0) return "atempo=" + host::short_decimal(speed);  // NaN falls through
    if (std::isinf(speed)) {
        PyErr_SetString(PyExc_ValueError,
                        "speed must be a finite number: an infinite speed has no atempo chain");
        throw host::PyError{};
    }
    std::string chain;
    double remaining = speed;
    while (remaining > 2.0) {
        chain += "atempo=2.0,";
        remaining *= 0.5;
    }
    return chain + "atempo=" + host::fixed_decimal(remaining, 4);
}

}  // namespace vantor::media
