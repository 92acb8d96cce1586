// Debug text of primitive values, in the structured form the system prints
// (query expressions, values): floats in their shortest round-trip form,
// strings quoted and escaped.
#pragma once

#include <string>
#include <string_view>

namespace lorvane {

// Shortest text that reads back to `v`: "1.0", "0.5", "1e16", "1e-5",
// "NaN", "inf", "-inf". Exponent form when |v| >= 1e16 or |v| < 1e-4 (v != 0).
std::string debug_float(double v);
// Text in double quotes; backslash and double quote escaped with a backslash,
// \n \r \t \0 by name, other control characters as \u{hex}.
std::string debug_str(std::string_view s);

}  // namespace lorvane
