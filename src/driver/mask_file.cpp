// The mask file, in one of three forms holding the same spectra: the columns of every spectrum
// with its mask value, the detector-masking XML file, or the plain spectrum-range list.
#include <algorithm>
#include <string>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/version.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

bool is_masked(const RunState &run, std::int32_t s, int option) {
  if (s < 1 || s > max_spectra)
    return false;
  return integral_of(run, s) == 0 || (option == 2 && run.flags[static_cast<std::size_t>(s)] == 0);
}

std::vector<std::int32_t> masked_spectra(const RunState &run, int option) {
  std::vector<std::int32_t> masked;
  const std::int32_t last = std::clamp(run.analysed, 0, max_spectra);
  for (std::int32_t s = 1; s <= last; ++s)
    if (is_masked(run, s, option))
      masked.push_back(s);
  return masked;
}

std::vector<std::string> spectrum_ranges(std::span<const std::int32_t> ascending) {
  std::vector<std::string> ranges;
  for (std::size_t k = 0; k < ascending.size();) {
    std::size_t end = k;
    while (end + 1 < ascending.size() && ascending[end + 1] == ascending[end] + 1)
      ++end;
    ranges.push_back(end == k ? exact_int(ascending[k])
                              : exact_int(ascending[k]) + "-" + exact_int(ascending[end]));
    k = end + 1;
  }
  return ranges;
}

namespace {

constexpr std::size_t msk_line_width = 80;

void write_columns(Io &io, const RunState &run, int option) {
  const std::int32_t last = std::clamp(run.analysed, 0, max_spectra);
  for (std::int32_t s = 1; s <= last; ++s)
    io.write_line(mask_unit, concat({" ", int_field(s, 7), " ",
                                     int_field(is_masked(run, s, option) ? -3 : 0, 3)}));
}

void write_xml(Io &io, const std::vector<std::string> &ranges) {
  io.write_line(mask_unit, R"(<?xml version="1.0"?>)");
  io.write_line(mask_unit, "<detector-masking>");
  io.write_line(mask_unit, "  <group>");
  io.write_line(mask_unit, "    <ids>" + joined(ranges, ",") + "</ids>");
  io.write_line(mask_unit, "  </group>");
  io.write_line(mask_unit, "</detector-masking>");
}

void write_msk(Io &io, const RunState &run, const std::vector<std::string> &ranges) {
  io.write_line(mask_unit, concat({"# bantrisk ", program_version, " mask of ",
                                   trimmed(run.full_input_name)}));
  std::string line;
  for (const std::string &r : ranges) {
    if (!line.empty() && line.size() + 1 + r.size() > msk_line_width) {
      io.write_line(mask_unit, line);
      line.clear();
    }
    line += (line.empty() ? "" : " ") + r;
  }
  if (!line.empty())
    io.write_line(mask_unit, line);
}

} // namespace

void write_mask_file(Io &io, RunState &run, Answers &ask) {
  const std::optional<MaskChoice> choice = ask.mask(io);
  if (!choice)
    return;

  // A file that could not be created has been reported; its lines have nowhere to go.
  if (!create_output(io, choice->name, mask_unit))
    return;

  switch (choice->format) {
  case MaskFormat::columns:
    write_columns(io, run, choice->option);
    break;
  case MaskFormat::xml:
    write_xml(io, spectrum_ranges(masked_spectra(run, choice->option)));
    break;
  case MaskFormat::msk:
    write_msk(io, run, spectrum_ranges(masked_spectra(run, choice->option)));
    break;
  }
  io.close(mask_unit);
}

} // namespace bantrisk
