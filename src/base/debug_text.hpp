// Debug text of primitive values, in the structured form the system prints
// (query expressions, values): floats in their shortest round-trip form,
// strings quoted and escaped.
//
// Which characters a string escapes beyond the fixed set (quote, backslash,
// \n \r \t \0) is a question about the Unicode database, which this layer does
// not carry: the layer that has one installs a test once, before any text is
// printed (the Python module does at import, from the interpreter's
// database). Without it, only the C0 and C1 controls and DEL are escaped.
#pragma once

#include <string>
#include <string_view>

namespace lorvane {

// Shortest text that reads back to `v`: "1.0", "0.5", "1e16", "1e-5",
// "NaN", "inf", "-inf". Exponent form when |v| >= 1e16 or |v| < 1e-4 (v != 0).
std::string debug_float(double v);

// Text in double quotes; backslash and double quote escaped with a backslash,
// \n \r \t \0 by name, and every character the installed test picks (without
// one: the other controls) as \u{hex}, lowercase, no leading zeros. Other
// characters appear as themselves. The text is read as UTF-8; each byte of a
// malformed sequence is written as U+FFFD, the replacement character.
std::string debug_str(std::string_view s);

// Whether a code point (never a surrogate, at most U+10FFFF) is written as
// \u{hex}. Called from any thread, with no lock held; must not block.
using CharEscapeTest = bool (*)(char32_t cp) noexcept;
// Installs the test (nullptr restores the built-in one). Meant to be called
// once, before any thread prints.
void set_char_escape_test(CharEscapeTest test) noexcept;

}  // namespace lorvane
