// The picture of a check, from the run-wide tables.
#include "driver/picture_file.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <exception>
#include <map>
#include <utility>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "lib/io.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

std::string trimmed(std::string s) {
  s.erase(s.find_last_not_of(' ') + 1);
  return s;
}

} // namespace

picture::Description describe_picture(const RunState &run, const std::string &source,
                                      const std::string &date) {
  using picture::Mark;
  using picture::Status;
  picture::Description d;
  d.source = source;
  d.spectra = run.spectra;
  d.date = date;
  d.modules_per_side = run.modules_per_side;
  d.low_limit = run.low_limit;
  d.high_limit = run.high_limit;
  d.low_fraction = run.low_fraction;
  d.high_fraction = run.high_fraction;

  const ModuleTables &m = run.modules;
  const int ideal = std::clamp(run.ideal_modules, 0, max_module_indexes);
  d.modules.resize(static_cast<std::size_t>(ideal));
  for (int i = 1; i <= ideal; ++i) {
    const auto k = static_cast<std::size_t>(i);
    picture::Module &pm = d.modules[k - 1];
    pm.label = trimmed(m.label[k]);
    pm.status = m.spectra[k] <= 0 ? Status::empty : m.total[k] == 0 ? Status::dead : Status::ok;
  }
  for (const ModuleFinding &f : run.odd_modules)
    if (f.index >= 1 && f.index <= ideal)
      d.modules[static_cast<std::size_t>(f.index - 1)].status = f.high ? Status::high : Status::low;

  // The cells, in map order: every entry the checks count in a module, marked as the low/high
  // search found its spectrum in that module.
  std::map<std::pair<std::int32_t, int>, Mark> found;
  for (const SpectrumFinding &f : run.odd_spectra)
    found[{f.spectrum, f.module_index}] = f.high ? Mark::high : Mark::low;
  const int entries = std::clamp(run.map.entries, 0, max_spectra);
  for (int e = 1; e <= entries; ++e) {
    const auto ek = static_cast<std::size_t>(e);
    if (run.map.in_module[ek] == 0)
      continue;
    const int idx =
        module2index(run.modules_per_side, run.map.bank[ek], run.map.side[ek], run.map.module[ek]);
    if (idx < 1 || idx > ideal)
      continue;
    const std::int32_t s = run.map.spectrum[ek];
    const std::int32_t counts = integral_of(run, s);
    picture::Cell cell;
    cell.ratio = ratio_of(counts, m.average[static_cast<std::size_t>(idx)]);
    cell.mark = counts == 0 ? Mark::dead : Mark::ok;
    if (const auto it = found.find({s, idx}); it != found.end() && counts > 0)
      cell.mark = it->second;
    d.modules[static_cast<std::size_t>(idx - 1)].cells.push_back(cell);
  }

  picture::Counts &c = d.counts;
  for (int slot = 1; slot <= bank_slots; ++slot)
    c.dead_spectra += run.banks.dead[static_cast<std::size_t>(slot)];
  c.dead_modules = run.dead_module_count;
  for (const ModuleFinding &f : run.odd_modules)
    (f.high ? c.high_modules : c.low_modules) += 1;
  for (const SpectrumFinding &f : run.odd_spectra)
    (f.high ? c.high_spectra : c.low_spectra) += 1;
  const std::int32_t last = std::clamp(run.analysed, 0, max_spectra);
  for (std::int32_t s = 1; s <= last; ++s)
    if (integral_of(run, s) == 0 || run.flags[static_cast<std::size_t>(s)] == 0)
      c.masked += 1;
  return d;
}

bool write_picture(const picture::Description &d, const std::string &file, std::string &error) {
  const auto format = picture::format_of(file);
  if (!format) {
    error = "the name ends in neither .png nor .svg";
    return false;
  }
  std::string bytes;
  try {
    bytes = picture::render(d, *format);
  } catch (const std::exception &e) {
    error = e.what();
    return false;
  }
  int err = 0;
  auto out = ReplacingFile::create(file, err);
  if (!out) {
    error = std::strerror(err);
    return false;
  }
  out->write(bytes);
  if (!out->commit()) {
    error = "it could not be written completely; the earlier version is kept";
    return false;
  }
  return true;
}

} // namespace bantrisk
