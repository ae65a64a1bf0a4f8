// Audio tempo filter chain for a playback speed factor.
#pragma once

#include <string>

namespace vantor::media {

// "atempo=<speed>" up to 2.0; above that, "atempo=2.0" repeated until the
// remaining share is at most 2.0, then that share with four decimals.
// An infinite speed raises ValueError (halving would never end).
std::string build_atempo_chain(double speed);

}  // namespace vantor::media
