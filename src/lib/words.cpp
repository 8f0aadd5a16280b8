#include "lib/words.hpp"

#include "lib/messages.hpp"

namespace bantrisk {

void count_word(std::string_view line, std::span<int> iw, int &nw) {
  const auto blank = [](char c) { return c == ' ' || c == '\t'; };
  const int last = len_string(line);
  nw = 0;
  if (last == 0)
    return;
  const auto store = [&](int k, int value) {
    if (k >= 0 && static_cast<std::size_t>(k) < iw.size())
      iw[static_cast<std::size_t>(k)] = value;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    if (!blank(line[i]) && (i == 0 || blank(line[i - 1]))) {
      store(nw, static_cast<int>(i) + 1);
      ++nw;
    }
  }
  store(nw, last + 1);
}

} // namespace bantrisk
