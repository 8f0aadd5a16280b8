// The mask file.
#include <string>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/prompting.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

void show_options(Console &con) {
  con.write_line(free_format({"Options..."}));
  con.write_line(free_format({"1) Mask dead spectra only"}));
  con.write_line(free_format({"2) Mask dead spectra and low/high spectra"}));
}

} // namespace

void write_mask_file(Io &io, RunState &run) {
  Console &con = io.console();
  std::int32_t wanted = 0;
  do {
    wanted = 0;
    get_intd(con, wanted, "1 to create mask file, or 0 otherwise", 1);
  } while (wanted != 0 && wanted != 1);
  if (wanted == 0)
    return;

  std::string name = fixed_text("bantrisk.mask", name_length);
  int nchar = 13;
  get_stringd(con, name, "full name of mask file", nchar, 1);
  // The mask never replaces the run file, the spectrum file list or the spectra file.
  while (io.is_input(name)) {
    refuse_input_as_output(con, full_name_of(name));
    get_stringd(con, name, "full name of mask file", nchar, 1);
  }

  con.write_line(free_format({}));
  std::int32_t option = 1;
  do {
    show_options(con);
    option = 1;
    get_intd(con, option, "option", 1);
  } while (option != 1 && option != 2);

  // A file that could not be created has been reported; its lines have nowhere to go.
  if (!create_output(io, name, mask_unit))
    return;

  for (std::int32_t s = 1; s <= run.analysed; ++s) {
    const bool masked =
        integral_of(run, s) == 0 || (option == 2 && run.flags[static_cast<std::size_t>(s)] == 0);
    io.write_line(mask_unit, concat({" ", int_field(s, 7), " ", int_field(masked ? -3 : 0, 3)}));
  }
  io.close(mask_unit);
}

} // namespace bantrisk
