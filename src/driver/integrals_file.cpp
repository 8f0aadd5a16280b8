// The integrals file: read back by option 2, saved at the end of a run.
//
// Layout: a count line " n", then one line " k integral" per spectrum k = 1..n, numbers in
// exactly the characters they need. The reader takes the integrals by position: after the
// count, the i-th free-format read of two values gives its second value to spectrum i.
#include <algorithm>
#include <array>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/freeformat.hpp"
#include "lib/input_file.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

bool read_integrals(std::istream &in, std::vector<std::int32_t> &integrals, std::int32_t &count) {
  std::int32_t n = 0;
  const std::array<FreeTarget, 1> count_target{&n};
  if (read_free(in, count_target) != ReadStatus::ok)
    return false;
  if (n > max_spectra || integrals.size() < static_cast<std::size_t>(std::max(n, 0)) + 1)
    return false;
  for (std::int32_t i = 1; i <= n; ++i) {
    std::int32_t ignored = 0;
    const std::array<FreeTarget, 2> targets{&ignored, &integrals[static_cast<std::size_t>(i)]};
    if (read_free(in, targets) != ReadStatus::ok)
      return false;
  }
  count = n;
  return true;
}

void read_integrals_file(Io &io, RunState &run, Answers &ask) {
  ask.integrals_name(io, run);
  int istat = 0;
  check_file(io, run.integrals_name, run.full_input_name, 0, 1, istat);

  // Opened by its complete full name, which may be longer than the 80 characters shown.
  const auto in = open_input_file_or_stop(run.full_input_name);
  std::int32_t n = 0;
  if (!read_integrals(*in, run.integrals, n))
    // Nothing partial is kept: the program ends here.
    throw ProgramStop::fatal(concat({"Error reading file ", run.integrals_name}));
  run.spectra = n;
  run.analysed = std::max(n, 0); // a count of 0 or less gives no integrals
}

void save_integrals(Io &io, RunState &run, Answers &ask) {
  Console &con = io.console();
  if (!ask.save_integrals(io, run))
    return;

  if (!create_output(io, run.integrals_name, integrals_unit))
    return; // reported; there is nothing to write into

  const std::int32_t n = run.analysed;
  io.write_line(integrals_unit, concat({" ", exact_int(n)}));
  for (std::int32_t k = 1; k <= n; ++k)
    io.write_line(integrals_unit, concat({" ", exact_int(k), " ",
                                          exact_int(run.integrals[static_cast<std::size_t>(k)])}));
  if (!io.close(integrals_unit))
    return; // the failure is reported; the earlier file, if any, is kept

  con.write_line(
      free_format({"Spectrum integrals written to file: ", first_chars(run.integrals_name, 35)}));
  con.write_line(free_format({}));
}

} // namespace bantrisk
