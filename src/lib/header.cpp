#include "lib/header.hpp"

#include <algorithm>
#include <string>

#include "lib/fields.hpp"
#include "lib/io.hpp"

namespace bantrisk {

void prog_header(Io &io, std::string_view name, std::string_view title, std::string_view author,
                 std::string_view date, int iunit) {
  const std::size_t a = name.size() + title.size() + 3;
  const std::size_t b = author.size() + date.size();
  const std::size_t width = std::max(a, b) + 4;
  if (width > 80) {
    throw ProgramStop::fatal("**ERROR in prog_header : line is too long");
  }
  const std::string stars(width, '*');
  const std::string gap2(b > a ? b - a : 0, ' ');
  const std::string gap3(a > b ? a - b : 0, ' ');
  io.write_line(iunit, free_format({stars}));
  io.write_line(iunit, " * " + std::string(name) + " : " + std::string(title) + gap2 + " *");
  io.write_line(iunit, " * " + std::string(author) + gap3 + std::string(date) + " *");
  io.write_line(iunit, free_format({stars}));
  io.write_line(iunit, free_format({}));
}

} // namespace bantrisk
