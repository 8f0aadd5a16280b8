#include "driver/summary_json.hpp"

#include <algorithm>
#include <map>
#include <nlohmann/json.hpp>
#include <vector>

#include "driver/check_command.hpp"
#include "driver/findings.hpp"
#include "driver/version.hpp"

namespace bantrisk {

namespace {

// Keys in the order written; reals held in single precision, so that they are written as the
// floats they are.
using Json = nlohmann::basic_json<nlohmann::ordered_map, std::vector, std::string, bool,
                                  std::int64_t, std::uint64_t, float>;

template <typename T> Json or_null(const std::optional<T> &value) {
  return value ? Json(*value) : Json(nullptr);
}

Json found_modules(const Findings &f, State state) {
  Json list = Json::array();
  for (const FoundModule &m : f.modules_in(state))
    list.push_back({{"label", m.label}, {"ratio", m.verdict.ratio}});
  return list;
}

Json found_spectra(const Findings &f, State state) {
  Json list = Json::array();
  for (const FoundSpectrum &s : f.spectra_in(state))
    list.push_back({{"spectrum", s.spectrum}, {"module", s.module}, {"ratio", s.verdict.ratio}});
  return list;
}

Json spectra_with_q(const std::vector<FoundSpectrum> &found) {
  Json list = Json::array();
  for (const FoundSpectrum &s : found)
    list.push_back({{"spectrum", s.spectrum}, {"module", s.module}, {"q", s.verdict.ratio}});
  return list;
}

} // namespace

std::string mask_spectra_name(int option) {
  if (option == mask_dead)
    return "dead";
  if (option == (mask_dead | mask_low_high))
    return "dead-low-high";
  std::vector<std::string> words;
  for (const auto &[bit, word] : mask_reason_words)
    if ((option & bit) != 0)
      words.emplace_back(word);
  return joined(words, ",");
}

std::string summary_json(const Findings &f, const std::optional<MaskRecord> &mask,
                         const WrittenFiles &files, const std::optional<FailVerdict> &verdict) {
  Json banks = Json::array();
  for (const BankSummary &b : f.banks)
    banks.push_back({{"bank", b.bank},
                     {"spectra", b.spectra},
                     {"dead", b.dead},
                     {"average", or_null(b.average)},
                     {"low_limit", b.low_limit},
                     {"high_limit", b.high_limit}});
  Json modules = Json::array();
  for (const ModuleSummary &m : f.modules)
    modules.push_back({{"label", m.label},
                       {"bank", m.bank},
                       {"spectra", m.spectra},
                       {"dead", m.dead},
                       {"dead_spectra", m.dead_spectra},
                       {"average", or_null(m.average)},
                       {"ratio", or_null(m.ratio)},
                       {"status", state_name(m.status)}});
  Json mask_json = nullptr;
  if (mask) {
    mask_json = {{"file", mask->file},
                 {"format", mask_format_name(mask->format)},
                 {"spectra", mask_spectra_name(mask->option)},
                 {"masked", mask->masked}};
    if (mask->reasons) {
      Json listed = Json::array();
      for (const auto &[spectrum, why] : *mask->reasons)
        listed.push_back({{"spectrum", spectrum}, {"reasons", why}});
      mask_json["masked_spectra"] = listed;
    }
  }

  Json summary = {
      {"program", "bantrisk"},
      {"version", program_version},
      {"source", {{"kind", f.from_integrals ? "integrals" : "run"}, {"file", f.source}}},
      {"spectra", f.spectra},
      {"analysed", f.analysed},
      {"channels", or_null(f.channels)},
      {"zero_count", f.zero_count},
      {"fractions", {{"low", f.low_fraction}, {"high", f.high_fraction}}},
      {"banks", banks},
      {"modules", modules},
      {"dead_modules", f.dead_modules},
      {"low_modules", found_modules(f, State::low)},
      {"high_modules", found_modules(f, State::high)},
      {"low_spectra", found_spectra(f, State::low)},
      {"high_spectra", found_spectra(f, State::high)},
      {"mask", mask_json},
      {"files",
       {{"results", or_null(files.results)},
        {"integrals", or_null(files.integrals)},
        {"mask", or_null(files.mask)},
        {"summary", or_null(files.summary)},
        {"pictures", files.pictures}}},
  };
  // The keys of the further checks, each only when its option is given, so that a check without
  // them writes the summary it always wrote.
  if (f.median)
    summary["statistic"] = "median";
  if (f.significance > 0.0f)
    summary["significance"] = f.significance;
  if (f.tof_range && f.tof_channels)
    summary["tof_range"] = {{"from", f.tof_range->t1},
                            {"to", f.tof_range->t2},
                            {"first_channel", f.tof_channels->first + 1},
                            {"channels", f.tof_channels->count}};
  if (f.hard_masked)
    summary["hard_masked"] = *f.hard_masked;
  if (f.reference)
    summary["reference"] = {
        {"file", f.reference->file},
        {"variation", f.reference->variation},
        {"median_ratio", f.reference->median_ratio
                             ? Json(static_cast<float>(*f.reference->median_ratio))
                             : Json(nullptr)},
        {"varying", spectra_with_q(f.reference->varying)},
        {"newly_dead", f.reference->newly_dead},
        {"recovered", f.reference->recovered}};
  if (verdict) {
    Json v = {{"fail_on", verdict->fail_on}, {"failed", verdict->failed}};
    for (const auto &[name, count] : verdict->counts) {
      std::string key = name;
      std::replace(key.begin(), key.end(), '-', '_');
      v[key] = count;
    }
    summary["verdict"] = v;
  }
  // Texts from files (names) may hold any bytes: invalid UTF-8 is replaced, never thrown on.
  return summary.dump(2, ' ', false, Json::error_handler_t::replace);
}

} // namespace bantrisk
