// The picture of a check, from its findings and the detector map.
#include "driver/picture_file.hpp"

#include <algorithm>
#include <exception>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "driver/answers.hpp"
#include "driver/checks.hpp"
#include "driver/findings.hpp"
#include "driver/run_state.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/files.hpp"
#include "lib/program_stop.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

// A state as the picture shows it: picture::Status for a module, picture::Mark for a spectrum.
template <typename Shown> Shown shown_as(State state) {
  switch (state) {
  case State::dead:
    return Shown::dead;
  case State::low:
    return Shown::low;
  case State::high:
    return Shown::high;
  case State::ok:
    break;
  }
  return Shown::ok;
}

} // namespace

picture::Description describe_picture(const Findings &findings, const RunState &run,
                                      std::optional<std::int32_t> masked, int mask_option,
                                      const std::string &date) {
  using picture::Mark;
  using picture::Status;
  picture::Description d;
  d.source = findings.source;
  d.spectra = findings.spectra;
  d.date = date;
  d.modules_per_side = run.modules_per_side;
  for (const BankSummary &b : findings.banks) {
    if (b.bank < 1 || b.bank > bank_slots)
      continue;
    d.low_limit[static_cast<std::size_t>(b.bank)] = b.low_limit;
    d.high_limit[static_cast<std::size_t>(b.bank)] = b.high_limit;
  }
  d.low_fraction = findings.low_fraction;
  d.high_fraction = findings.high_fraction;

  // Every module of the instrument has a tile; those with spectra in the map take their status
  // from the findings, the others stay empty.
  const int ideal =
      std::clamp(ideal_number_of_modules(run.modules_per_side), 0, max_module_indexes);
  d.modules.resize(static_cast<std::size_t>(ideal));
  for (int i = 1; i <= ideal; ++i) {
    int bank = 0, side = 0, number = 0;
    index2module(run.modules_per_side, i, bank, side, number);
    d.modules[static_cast<std::size_t>(i - 1)].label =
        std::string(trimmed(module_label(bank, side, number)));
  }
  std::vector<const ModuleSummary *> summary(static_cast<std::size_t>(ideal) + 1, nullptr);
  for (const ModuleSummary &m : findings.modules) {
    if (m.index < 1 || m.index > ideal)
      continue;
    summary[static_cast<std::size_t>(m.index)] = &m;
    picture::Module &pm = d.modules[static_cast<std::size_t>(m.index - 1)];
    pm.label = m.label;
    pm.status = shown_as<picture::Status>(m.status);
  }

  // The spectra found other than ok, by spectrum and module index.
  std::map<std::pair<std::int32_t, int>, Mark> found;
  for (const FoundSpectrum &f : findings.found_spectra)
    found[{f.spectrum, f.module_index}] = shown_as<Mark>(f.verdict.state);

  // The spectra varying against the reference, ascending.
  std::vector<std::int32_t> varying;
  if (findings.reference)
    for (const FoundSpectrum &v : findings.reference->varying)
      varying.push_back(v.spectrum);
  std::sort(varying.begin(), varying.end());

  // The cells, in map order: every entry the checks count in a module.
  const int entries = std::clamp(run.map.entries, 0, max_spectra);
  for (int e = 1; e <= entries; ++e) {
    const auto ek = static_cast<std::size_t>(e);
    if (run.map.in_module[ek] == 0)
      continue;
    const int idx =
        module2index(run.modules_per_side, run.map.bank[ek], run.map.side[ek], run.map.module[ek]);
    const std::int32_t s = run.map.spectrum[ek];
    if (idx < 1 || idx > ideal)
      continue;
    picture::Cell cell;
    // A hard-masked spectrum is drawn grey where it stands, also in a module it leaves empty.
    if (hard_masked(run, s)) {
      cell.mark = Mark::hard_masked;
      d.modules[static_cast<std::size_t>(idx - 1)].cells.push_back(cell);
      continue;
    }
    if (summary[static_cast<std::size_t>(idx)] == nullptr)
      continue;
    const ModuleSummary &m = *summary[static_cast<std::size_t>(idx)];
    cell.varying = std::binary_search(varying.begin(), varying.end(), s);
    if (std::binary_search(m.dead_spectra.begin(), m.dead_spectra.end(), s)) {
      cell.mark = Mark::dead;
    } else {
      cell.ratio = m.average ? ratio_of(integral_of(run, s), *m.average) : 1.0f;
      if (const auto it = found.find({s, idx}); it != found.end())
        cell.mark = it->second;
    }
    d.modules[static_cast<std::size_t>(idx - 1)].cells.push_back(cell);
  }

  picture::Counts &c = d.counts;
  const auto count = [](std::size_t n) { return static_cast<std::int32_t>(n); };
  // The dead spectra of the map's modules, each once however many entries it has; the other
  // spectra with zero counts stand in no module.
  std::vector<std::int32_t> in_modules;
  for (const ModuleSummary &m : findings.modules)
    in_modules.insert(in_modules.end(), m.dead_spectra.begin(), m.dead_spectra.end());
  std::sort(in_modules.begin(), in_modules.end());
  in_modules.erase(std::unique(in_modules.begin(), in_modules.end()), in_modules.end());
  c.dead_spectra = count(in_modules.size());
  c.dead_in_no_module = count(static_cast<std::size_t>(std::count_if(
      findings.zero_count.begin(), findings.zero_count.end(), [&in_modules](std::int32_t s) {
        return !std::binary_search(in_modules.begin(), in_modules.end(), s);
      })));
  c.dead_modules = count(findings.dead_modules.size());
  c.low_modules = count(findings.modules_in(State::low).size());
  c.high_modules = count(findings.modules_in(State::high).size());
  c.low_spectra = count(findings.spectra_in(State::low).size());
  c.high_spectra = count(findings.spectra_in(State::high).size());
  c.masked = masked;
  c.mask_low_high = (mask_option & mask_low_high) != 0;
  // Beyond the dialogue's two choices, the mask's reasons in the words of --mask-spectra.
  if ((mask_option != mask_dead && mask_option != (mask_dead | mask_low_high)) ||
      findings.hard_masked) {
    std::vector<std::string> words;
    for (const auto &[bit, word] : mask_reason_words)
      if ((mask_option & bit) != 0)
        words.emplace_back(word);
    if (findings.hard_masked)
      words.emplace_back("hard mask");
    c.mask_spectra = joined(words, ", ");
  }
  if (findings.hard_masked)
    c.hard_masked = count(findings.hard_masked->size());
  if (findings.reference)
    c.varying = count(varying.size());
  return d;
}

std::string picture_bytes(const picture::Description &d, const std::string &file) {
  try {
    const auto format = picture::format_of(file);
    if (!format)
      throw std::invalid_argument("the name ends in neither .png nor .svg");
    return picture::render(d, *format);
  } catch (const std::exception &e) {
    throw ProgramStop::report(concat({"cannot draw ", full_name_of(file), ": ", e.what()}));
  }
}

} // namespace bantrisk
