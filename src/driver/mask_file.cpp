// The mask file, in one of three forms holding the same spectra (mask_forms.cpp writes each
// form): the columns of every spectrum with its mask value, the detector-masking XML file, or
// the plain spectrum-range list.
#include <algorithm>
#include <string>
#include <utility>

#include "driver/checks.hpp"
#include "driver/mask_forms.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

std::int32_t mask_listed(const RunState &run) {
  return std::clamp(run.analysed, 0, max_spectra);
}

std::vector<unsigned> mask_reasons(const RunState &run, int option) {
  const std::int32_t last = mask_listed(run);
  std::vector<unsigned> reasons(static_cast<std::size_t>(last) + 1, 0);
  const auto mark = [&](std::int32_t s, unsigned reason) {
    if (s >= 1 && s <= last)
      reasons[static_cast<std::size_t>(s)] |= reason;
  };
  for (std::int32_t s = 1; s <= last; ++s) {
    const auto k = static_cast<std::size_t>(s);
    if ((option & mask_dead) != 0 && run.integrals[k] == 0)
      mark(s, reason_dead);
    if ((option & mask_low_high) != 0 && run.flags[k] == 0)
      mark(s, run.spectrum_state[k] == State::high ? reason_high : reason_low);
    if (hard_masked(run, s))
      mark(s, reason_hard_mask);
  }
  if ((option & mask_modules) != 0)
    for (int i = 1; i <= run.map.entries; ++i) {
      std::size_t idx = 0, slot = 0;
      if (!entry_place(run, i, idx, slot))
        continue;
      const State state = run.module_state[idx];
      if (state != State::ok)
        mark(run.map.spectrum[static_cast<std::size_t>(i)],
             state == State::dead  ? reason_module_dead
             : state == State::low ? reason_module_low
                                   : reason_module_high);
    }
  if ((option & mask_varying) != 0) {
    for (const ReferenceFindings::Varying &v : run.reference.varying)
      mark(v.spectrum, reason_varying);
    for (const std::int32_t s : run.reference.newly_dead)
      mark(s, reason_newly_dead);
  }
  return reasons;
}

std::vector<std::string_view> mask_reason_names(unsigned reasons) {
  static constexpr std::pair<unsigned, std::string_view> names[] = {
      {reason_dead, "dead"},
      {reason_low, "low"},
      {reason_high, "high"},
      {reason_module_dead, "module-dead"},
      {reason_module_low, "module-low"},
      {reason_module_high, "module-high"},
      {reason_varying, "varying"},
      {reason_newly_dead, "newly-dead"},
      {reason_hard_mask, "hard-mask"}};
  std::vector<std::string_view> words;
  for (const auto &[bit, name] : names)
    if ((reasons & bit) != 0)
      words.push_back(name);
  return words;
}

std::vector<std::int32_t> masked_spectra(const RunState &run, int option) {
  const std::vector<unsigned> reasons = mask_reasons(run, option);
  std::vector<std::int32_t> masked;
  for (std::size_t s = 1; s < reasons.size(); ++s)
    if (reasons[s] != 0)
      masked.push_back(static_cast<std::int32_t>(s));
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
