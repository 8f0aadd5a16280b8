#include "lib/messages.hpp"

#include <string>

#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

int len_int(std::int64_t ival) {
  return static_cast<int>(exact_int(ival).size());
}

int len_string(std::string_view s) {
  std::size_t n = s.size();
  while (n > 0 && (s[n - 1] == ' ' || s[n - 1] == '\t'))
    --n;
  return static_cast<int>(n);
}

void pr_int(Console &con, std::string_view text, std::int32_t ival) {
  con.write_line(concat({" ", text, exact_int(ival)}));
}

void pr_int_2(Console &con, std::string_view text1, std::int32_t ival1, std::string_view text2,
              std::int32_t ival2) {
  con.write_line(concat({" ", text1, exact_int(ival1), text2, exact_int(ival2)}));
}

void pr_int_3(Io &io, std::string_view text1, std::int32_t ival1, std::string_view text2,
              std::int32_t ival2, std::string_view text3, std::int32_t ival3, int iunit) {
  io.write_line(iunit, concat({" ", text1, exact_int(ival1), text2, exact_int(ival2), text3,
                               exact_int(ival3)}));
}

} // namespace bantrisk
