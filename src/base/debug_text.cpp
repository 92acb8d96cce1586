#include "base/debug_text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>

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

std::string debug_str(std::string_view s) {
  std::string out = "\"";
  for (std::size_t i = 0; i < s.size(); ++i) {
    unsigned char c = static_cast<unsigned char>(s[i]);
    switch (c) {
      case '"': out += "\\\""; continue;
      case '\\': out += "\\\\"; continue;
      case '\n': out += "\\n"; continue;
      case '\r': out += "\\r"; continue;
      case '\t': out += "\\t"; continue;
      case '\0': out += "\\0"; continue;
      default: break;
    }
    if (c < 0x20 || c == 0x7f) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", c);
      out += buf;
    } else if (c == 0xc2 && i + 1 < s.size() && static_cast<unsigned char>(s[i + 1]) >= 0x80 &&
               static_cast<unsigned char>(s[i + 1]) <= 0x9f) {
      // C1 control characters (U+0080..U+009F).
      char buf[16];
      std::snprintf(buf, sizeof buf, "\\u{%x}", static_cast<unsigned char>(s[i + 1]));
      out += buf;
      ++i;
    } else {
      out += static_cast<char>(c);
    }
  }
  out += "\"";
  return out;
}

}  // namespace lorvane
