#include "bindings/char_escape.hpp"

#include <Python.h>

#include <algorithm>
#include <iterator>
#include <vector>

#include "base/debug_text.hpp"
#include "python/error.hpp"
#include "python/ref.hpp"

// Invariants of the table:
//  - `g_extend` holds sorted, disjoint, non-adjacent closed ranges of code
//    points; it is built once under the interpreter lock before the test is
//    installed and never changes or goes afterwards, so the test reads it from
//    any thread without a lock.
//  - It is built from the interpreter's own Unicode database (the one
//    str.isprintable reads), so both halves of the test agree on the version.
namespace lorvane {

namespace {

struct Range {
  char32_t lo;
  char32_t hi;
};

// Grapheme_Extend code points outside Mn and Me (the Other_Grapheme_Extend
// list of the Unicode data). The `unicodedata` module does not expose this
// property; the list is short and has stayed as it is from Unicode 14 to
// 15.1 (the versions of Python 3.12 and 3.13).
constexpr Range kOtherGraphemeExtend[] = {
    {0x09BE, 0x09BE},   {0x09D7, 0x09D7},   {0x0B3E, 0x0B3E},   {0x0B57, 0x0B57},   {0x0BBE, 0x0BBE},
    {0x0BD7, 0x0BD7},   {0x0CC2, 0x0CC2},   {0x0CD5, 0x0CD6},   {0x0D3E, 0x0D3E},   {0x0D57, 0x0D57},
    {0x0DCF, 0x0DCF},   {0x0DDF, 0x0DDF},   {0x1B35, 0x1B35},   {0x200C, 0x200C},   {0x302E, 0x302F},
    {0xFF9E, 0xFF9F},   {0x1133E, 0x1133E}, {0x11357, 0x11357}, {0x114B0, 0x114B0}, {0x114BD, 0x114BD},
    {0x115AF, 0x115AF}, {0x11930, 0x11930}, {0x1D165, 0x1D165}, {0x1D16E, 0x1D172}, {0xE0020, 0xE007F},
};

const std::vector<Range>* g_extend = nullptr;  // built once, never freed

bool extends_grapheme(char32_t cp) {
  const std::vector<Range>& table = *g_extend;
  auto it = std::upper_bound(table.begin(), table.end(), cp, [](char32_t c, const Range& r) { return c < r.lo; });
  return it != table.begin() && cp <= std::prev(it)->hi;
}

bool needs_escape(char32_t cp) noexcept {
  // Both lookups read static tables only: no interpreter lock needed.
  return !Py_UNICODE_ISPRINTABLE(static_cast<Py_UCS4>(cp)) || extends_grapheme(cp);
}

void add(std::vector<Range>& ranges, char32_t lo, char32_t hi) {
  if (!ranges.empty() && ranges.back().hi + 1 >= lo) {
    ranges.back().hi = std::max(ranges.back().hi, hi);
  } else {
    ranges.push_back({lo, hi});
  }
}

// Where combining marks are looked for: the Basic and Supplementary
// Multilingual Planes and the Supplementary Special-purpose Plane. The planes
// between hold ideographs only (2 and 3, all letters) or nothing yet (4 to
// 13); 15 and 16 are private use (never printable, so escaped anyway).
// Scanning only these keeps the table's cost at import near a millisecond.
constexpr Range kMarkPlanes[] = {{0x80, 0x1FFFF}, {0xE0000, 0xEFFFF}};

// Every Mn and Me code point, by asking `unicodedata.category` about the
// candidates only: characters that are not printable are escaped anyway, and
// letters (str.isalpha) are never marks. That leaves some thirteen thousand
// code points (marks, digits, punctuation, symbols) to ask about.
std::vector<Range> combining_marks() {
  py::Ref module = py::Ref::steal(py::require(PyImport_ImportModule("unicodedata")));
  py::Ref category = py::Ref::steal(py::require(PyObject_GetAttrString(module.get(), "category")));
  std::vector<Range> marks;
  for (const Range& plane : kMarkPlanes) {
    for (Py_UCS4 cp = plane.lo; cp <= plane.hi; ++cp) {
      if (!Py_UNICODE_ISPRINTABLE(cp) || Py_UNICODE_ISALPHA(cp)) continue;
      py::Ref ch = py::Ref::steal(py::require(PyUnicode_FromOrdinal(static_cast<int>(cp))));
      py::Ref cat = py::Ref::steal(py::require(PyObject_CallOneArg(category.get(), ch.get())));
      const char* text = py::require(PyUnicode_AsUTF8(cat.get()));
      if (text[0] == 'M' && (text[1] == 'n' || text[1] == 'e') && text[2] == '\0') add(marks, cp, cp);
    }
  }
  return marks;
}

}  // namespace

void install_char_escape_test() {
  if (g_extend) return;
  std::vector<Range> ranges = combining_marks();
  ranges.insert(ranges.end(), std::begin(kOtherGraphemeExtend), std::end(kOtherGraphemeExtend));
  std::sort(ranges.begin(), ranges.end(), [](const Range& a, const Range& b) { return a.lo < b.lo; });
  auto* merged = new std::vector<Range>();
  for (const Range& r : ranges) add(*merged, r.lo, r.hi);
  merged->shrink_to_fit();
  g_extend = merged;
  set_char_escape_test(needs_escape);
}

}  // namespace lorvane
