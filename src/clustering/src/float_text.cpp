#include <charconv>
#include <cmath>

#include "quillmere/clustering.h"

namespace quillmere {

void append_f32(std::string& out, float value) {
  if (std::isnan(value)) {
    out += "NaN";
    return;
  }
  if (std::isinf(value)) {
    out += value < 0 ? "-inf" : "inf";
    return;
  }
  // Shortest round-trip digits in scientific form, e.g. "-2.5e+16", then laid out anew.
  char buf[64];
  const auto res = std::to_chars(buf, buf + sizeof buf, value, std::chars_format::scientific);
  const char* p = buf;
  const char* end = res.ptr;
  if (*p == '-') {
    out += '-';
    ++p;
  }
  std::string digits;
  while (p != end && *p != 'e') {
    if (*p != '.') digits += *p;
    ++p;
  }
  int exponent = 0;
  if (p != end) {
    ++p;  // past 'e'
    const bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    std::from_chars(p, end, exponent);
    if (negative) exponent = -exponent;
  }

  const float magnitude = std::fabs(value);
  if (magnitude != 0.0f && (magnitude < 1e-4f || magnitude >= 1e16f)) {
    out += digits[0];
    if (digits.size() > 1) {
      out += '.';
      out.append(digits, 1, std::string::npos);
    }
    out += 'e';
    out += std::to_string(exponent);
    return;
  }
  if (exponent < 0) {
    out += "0.";
    out.append(static_cast<std::size_t>(-exponent - 1), '0');
    out += digits;
    return;
  }
  const auto int_len = static_cast<std::size_t>(exponent) + 1;
  if (digits.size() <= int_len) {
    out += digits;
    out.append(int_len - digits.size(), '0');
    out += ".0";
  } else {
    out.append(digits, 0, int_len);
    out += '.';
    out.append(digits, int_len, std::string::npos);
  }
}

std::string format_f32(float value) {
  std::string s;
  append_f32(s, value);
  return s;
}

}  // namespace quillmere
