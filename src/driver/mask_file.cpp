// The mask file, in one of three forms holding the same spectra (mask_forms.cpp writes each
// form): the columns of every spectrum with its mask value, the detector-masking XML file, or
// the plain spectrum-range list.
#include <algorithm>
#include <string>

#include "driver/checks.hpp"
#include "driver/mask_forms.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

bool is_masked(const RunState &run, std::int32_t s, int option) {
  if (s < 1 || s > max_spectra)
    return false;
  return integral_of(run, s) == 0 || (option == 2 && run.flags[static_cast<std::size_t>(s)] == 0);
}

std::int32_t mask_listed(const RunState &run) {
  return std::clamp(run.analysed, 0, max_spectra);
}

std::vector<std::int32_t> masked_spectra(const RunState &run, int option) {
  std::vector<std::int32_t> masked;
  const std::int32_t last = mask_listed(run);
  for (std::int32_t s = 1; s <= last; ++s)
    if (is_masked(run, s, option))
      masked.push_back(s);
  return masked;
}

void write_mask_file(Io &io, RunState &run, Answers &ask) {
  const std::optional<MaskChoice> choice = ask.mask(io);
  if (!choice)
    return;

  // A file that could not be created has been reported; its lines have nowhere to go.
  if (!create_output(io, choice->name, mask_unit))
    return;

  const std::vector<std::int32_t> masked = masked_spectra(run, choice->option);
  write_mask_lines(choice->format, {mask_listed(run), masked, trimmed(run.full_input_name)},
                   [&io](std::string_view line) { io.write_line(mask_unit, line); });
  io.close(mask_unit);
}

} // namespace bantrisk
