// The spectra whose integral is zero: counted, listed ten to a row on the console and in the
// results file. The report opens the dead-spectra section of the results file.
#include <algorithm>
#include <string>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/to_both.hpp"
#include "lib/fields.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

constexpr int per_row = 10;

// One blank, then each spectrum number right-aligned in 6 columns.
std::string zero_row(const std::vector<std::int32_t> &list, std::int32_t first, std::int32_t last) {
  std::string row = " ";
  for (std::int32_t k = first; k <= last; ++k)
    row += int_field(list[static_cast<std::size_t>(k)], 6);
  return row;
}

} // namespace

void zero_count_report(Io &io, RunState &run) {
  Console &con = io.console();

  run.zero_count = 0;
  for (std::int32_t s = 1; s <= run.analysed; ++s)
    if (run.integrals[static_cast<std::size_t>(s)] == 0)
      run.zero_list[static_cast<std::size_t>(++run.zero_count)] = s;
  const std::int32_t z = run.zero_count;

  pr_int(con, "Number of spectra with zero counts = ", z);
  io.write_line(results_unit, free_format({"Number of spectra with zero counts = ", z}));
  con.write_line(free_format({"The following spectra have zero counts..."}));
  io.write_line(results_unit, free_format({first_chars(run.full_input_name, 79)}));
  if (const auto &window = run.rules.tof_channels; window && run.rules.tof_range)
    io.write_line(
        results_unit,
        free_format(
            {concat({"Time-of-flight window = ", shortest_real(run.rules.tof_range->t1), " to ",
                     shortest_real(run.rules.tof_range->t2), ": time channels ",
                     exact_int(window->first + 1), " to ", exact_int(window->first + window->count),
                     " of ", exact_int(run.channels)})}));
  io.write_line(results_unit, free_format({"** DEAD SPECTRA SECTION **"}));

  // Full rows, then the short one; each row on the console first, then in the results file.
  for (std::int32_t first = 1; first <= z; first += per_row) {
    to_both(io, zero_row(run.zero_list, first, std::min(first + per_row - 1, z)));
  }
}

} // namespace bantrisk
