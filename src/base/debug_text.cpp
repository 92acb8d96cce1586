#include "base/debug_text.hpp"

#include <atomic>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <utility>

namespace lorvane {

std::string debug_float(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "inf" : "-inf";
  char buf[64];
  double mag = std::fabs(v);
  if (v == 0.0 || (mag >= 1e-4 && mag < 1e16)) {
    auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed);
    std::string s(buf, r.ptr);
    if (s.find('.') == std::string::npos) s += ".0";
    return s;
  }
  // Shortest round-trip digits in exponent form, written as 1e16 / 1.5e-7.
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::scientific);
  std::string s(buf, r.ptr);
  auto e = s.find('e');
  std::string mantissa = s.substr(0, e);
  std::string exp = s.substr(e + 1);
  bool negative = !exp.empty() && exp[0] == '-';
  std::size_t start = (!exp.empty() && (exp[0] == '-' || exp[0] == '+')) ? 1 : 0;
  while (start + 1 < exp.size() && exp[start] == '0') ++start;
  return mantissa + "e" + (negative ? "-" : "") + exp.substr(start);
}

namespace {

std::atomic<CharEscapeTest> g_escape_test{nullptr};

// Without a Unicode database: the C0 controls, DEL and the C1 controls.
bool is_control(char32_t cp) { return cp < 0x20 || (cp >= 0x7f && cp <= 0x9f); }

// The code point of the UTF-8 sequence at s[i], and its length in bytes; a
// length of 0 for a malformed sequence (a bad lead or continuation byte, an
// overlong form, a surrogate, or a code point past U+10FFFF).
std::pair<char32_t, std::size_t> decode_utf8(std::string_view s, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return {lead, 1};
  std::size_t len;
  char32_t cp;
  char32_t min;
  if ((lead & 0xe0) == 0xc0) {
    len = 2, cp = lead & 0x1f, min = 0x80;
  } else if ((lead & 0xf0) == 0xe0) {
    len = 3, cp = lead & 0x0f, min = 0x800;
  } else if ((lead & 0xf8) == 0xf0) {
    len = 4, cp = lead & 0x07, min = 0x10000;
  } else {
    return {0, 0};
  }
  if (i + len > s.size()) return {0, 0};
  for (std::size_t k = 1; k < len; ++k) {
    if ((byte(i + k) & 0xc0) != 0x80) return {0, 0};
    cp = (cp << 6) | (byte(i + k) & 0x3f);
  }
  if (cp < min || cp > 0x10ffff || (cp >= 0xd800 && cp <= 0xdfff)) return {0, 0};
  return {cp, len};
}

void append_escape(std::string& out, char32_t cp) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned>(cp));
  out += buf;
}

}  // namespace

void set_char_escape_test(CharEscapeTest test) noexcept { g_escape_test.store(test, std::memory_order_release); }

std::string debug_str(std::string_view s) {
  const CharEscapeTest test = g_escape_test.load(std::memory_order_acquire);
  std::string out;
  out.reserve(s.size() + 2);
  out += '"';
  std::size_t i = 0;
  while (i < s.size()) {
    const auto [cp, len] = decode_utf8(s, i);
    if (len == 0) {
      out += "\xef\xbf\xbd";  // U+FFFD
      ++i;
      continue;
    }
    switch (cp) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        // Printable ASCII never needs the test.
        if (cp >= 0x20 && cp < 0x7f) {
          out += static_cast<char>(cp);
        } else if (test ? test(cp) : is_control(cp)) {
          append_escape(out, cp);
        } else {
          out.append(s.data() + i, len);
        }
    }
    i += len;
  }
  out += '"';
  return out;
}

}  // namespace lorvane
