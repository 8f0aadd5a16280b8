#include "lib/raw_location.hpp"

#include <algorithm>

#include "lib/capacities.hpp"
#include "lib/check_defaults.hpp"
#include "lib/console.hpp"
#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/prompting.hpp"
#include "lib/text.hpp"

namespace bantrisk {

void get_instname3(Console &con, std::string &name, int &idef) {
  name = fixed_text(name, 3);
  int offer = 0;
  switch (idef) {
  case 0:
    break;
  case 1:
    offer = 1;
    break;
  case 3:
    name = default_instrument;
    offer = 1;
    break;
  default:
    pr_int(con, "** WARNING in get_instname3: unexpected value idef = ", idef);
    con.write_line(free_format({"idef=0 will be assumed"}));
    idef = 0;
    break;
  }
  int nchar = 3;
  get_stringd(con, name, "3 letter instrument name", nchar, offer);
}

std::string raw_directory_variable(std::string_view instrument) {
  return fixed_text(instrument, 3) + "_DATA";
}

void getrawdir(Io &io, std::string_view instrument, std::string &directory, int &length) {
  Console &con = io.console();
  const std::string variable = raw_directory_variable(instrument);
  // The variable's value is kept whole for the default line; the directory holds its first 80
  // characters.
  const std::string value = io.getenv(variable).value_or(std::string());
  const int value_length = static_cast<int>(std::min<std::size_t>(value.size(), 0x7fffffff));
  con.write_line(" Default specification of directory where .RAW files are stored: " + value);

  for (;;) {
    con.write_prompt(" Give alternative directory (or return for default) > ");
    const Answer a = con.read_answer();
    const bool typed = a.length > 0;
    const int candidate_length = typed ? a.length : value_length;
    if (candidate_length > max_raw_directory_length) {
      // The raw file name would not hold the instrument, run number and extension after it.
      con.write_line(
          free_format({"** ERROR: directory of ", exact_int(candidate_length),
                       " characters is too long: at most ", exact_int(max_raw_directory_length),
                       " fit in the raw file name"}));
      continue;
    }
    directory = fixed_text(typed ? std::string_view(a.text) : std::string_view(value), name_length);
    length = candidate_length;
    return;
  }
}

std::string compose_raw_name(std::string_view directory, int length, std::string_view instrument,
                             std::int32_t run_number, std::string_view extension) {
  const auto dir_chars = static_cast<std::size_t>(length > 0 ? length : 0);
  std::string name = fixed_text(directory, dir_chars);
  name += fixed_text(instrument, 3);
  name += zero_filled_int(run_number, 5);
  name += ".";
  name += fixed_text(extension, 3);
  return fixed_text(name, name_length);
}

} // namespace bantrisk
