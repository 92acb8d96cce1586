// The test that decides which characters printed text escapes, from the
// interpreter's Unicode database (see base/debug_text.hpp).
#pragma once

namespace lorvane {

// Builds the table of characters that extend a grapheme and installs the test
// into debug_str: a character is escaped when it is not printable (the
// interpreter's str.isprintable) or when it extends a grapheme (a combining
// mark, category Mn or Me, or one of the few other code points with the
// Grapheme_Extend property). Once per process, at module initialisation,
// interpreter lock held. Throws py::ErrorAlreadySet when the `unicodedata`
// module cannot be used.
void install_char_escape_test();

}  // namespace lorvane
