#include "lib/text.hpp"

#include "lib/capacities.hpp"
#include "lib/messages.hpp"

namespace bantrisk {

std::string fixed_text(std::string_view s, std::size_t n) {
  std::string out(s.substr(0, n));
  out.resize(n, ' ');
  return out;
}

std::string name_text(std::string_view s) {
  return s.size() < name_length ? fixed_text(s, name_length) : std::string(s);
}

std::string concat(std::initializer_list<std::string_view> pieces) {
  std::size_t size = 0;
  for (const auto piece : pieces)
    size += piece.size();
  std::string out;
  out.reserve(size);
  for (const auto piece : pieces)
    out += piece;
  return out;
}

std::string joined(const std::vector<std::string> &items, std::string_view separator) {
  std::string text;
  for (const std::string &item : items) {
    if (!text.empty())
      text += separator;
    text += item;
  }
  return text;
}

std::string_view trimmed(std::string_view s) {
  return s.substr(0, static_cast<std::size_t>(len_string(s)));
}

std::string shown_text(std::string_view s) {
  std::string shown;
  shown.reserve(s.size());
  for (const char c : s) {
    const auto u = static_cast<unsigned char>(c);
    if (u >= 0x20 && u != 0x7f) {
      shown += c;
    } else if (c == '\t') {
      shown += c;
    } else if (c == '\n') {
      shown += "\\n";
    } else if (c == '\r') {
      shown += "\\r";
    } else if (c == '\0') {
      shown += "\\0";
    } else {
      static constexpr char digits[] = "0123456789abcdef";
      shown += "\\x";
      shown += digits[u >> 4];
      shown += digits[u & 0xf];
    }
  }
  return shown;
}

} // namespace bantrisk
