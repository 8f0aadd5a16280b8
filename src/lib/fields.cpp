#include "lib/fields.hpp"

#include "lib/text.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace bantrisk {

namespace {
std::string fit(const std::string &s, int w) {
  if (w <= 0)
    return {};
  const auto width = static_cast<std::size_t>(w);
  if (s.size() > width)
    return std::string(width, '*');
  return std::string(width - s.size(), ' ') + s;
}
} // namespace

std::string exact_int(std::int64_t v) {
  return std::to_string(v);
}

std::string int_field(std::int64_t v, int w) {
  return fit(std::to_string(v), w);
}

std::string zero_filled_int(std::int64_t v, int w) {
  if (w <= 0)
    return {};
  // The magnitude as unsigned, so that the smallest 64-bit value has one too.
  const std::uint64_t magnitude =
      v < 0 ? std::uint64_t{0} - static_cast<std::uint64_t>(v) : static_cast<std::uint64_t>(v);
  std::string digits = std::to_string(magnitude);
  const auto width = static_cast<std::size_t>(w);
  if (digits.size() < width)
    digits.insert(0, width - digits.size(), '0');
  return fit(v < 0 ? "-" + digits : digits, w);
}

std::string fixed_field(double v, int w, int d) {
  if (!std::isfinite(v))
    return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*');
  char buf[400];
  std::snprintf(buf, sizeof buf, "%.*f", d, v);
  return fit(buf, w);
}

std::string shortest_real(float v) {
  char buf[64];
  const auto result = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, result.ptr);
}

std::string general_real(float value) {
  const double v = value;
  if (!std::isfinite(v))
    return std::string(14, '*');
  if (v == 0.0)
    return "  0.000000    ";
  // Seven significant digits decide both the form and the decimals: d.dddddde+xx.
  char sci[64];
  std::snprintf(sci, sizeof sci, "%.6e", v);
  const char *e = std::strchr(sci, 'e');
  const int exp10 = std::atoi(e + 1);
  if (exp10 >= -1 && exp10 <= 6) {
    const int before_point = exp10 + 1; // digits before the point (0 when below 1)
    char fixed[64];
    std::snprintf(fixed, sizeof fixed, "%#.*f", 7 - before_point, v);
    return fit(fixed, 10) + "    ";
  }
  // 0.ddddddd times ten to (exp10 + 1).
  std::string digits;
  for (const char *p = sci; p < e; ++p)
    if (*p >= '0' && *p <= '9')
      digits += *p;
  const int shown_exp = exp10 + 1;
  char out[64];
  std::snprintf(out, sizeof out, "%s0.%sE%c%02d", v < 0 ? "-" : "", digits.c_str(),
                shown_exp < 0 ? '-' : '+', std::abs(shown_exp));
  return fit(out, 14);
}

std::string text_field(std::string_view s, int w) {
  return fixed_text(s, static_cast<std::size_t>(w > 0 ? w : 0));
}

std::string free_format(std::initializer_list<FreeItem> items) {
  if (items.size() == 0)
    return {};
  std::string line = " ";
  for (const auto &item : items) {
    if (const auto *text = std::get_if<std::string_view>(&item))
      line += *text;
    else
      line += int_field(std::get<std::int32_t>(item), 12);
  }
  return line;
}

} // namespace bantrisk
