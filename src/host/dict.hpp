// Building dicts: request headers and JSON payloads for the web services.
#pragma once

#include "host/ref.hpp"

#include <initializer_list>

namespace vantor::host {

struct Item {
    const char* key;
    Handle value;
};

// {key: value, ...} in the order given, e.g. dict({{"accept", text("*/*")}}).
Ref dict(std::initializer_list<Item> items);

}  // namespace vantor::host
