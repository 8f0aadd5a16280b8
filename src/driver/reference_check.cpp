// The comparison of a run with a reference run (a white-beam run, say): every spectrum's ratio
// to its reference, over the median of those ratios, shows a detector whose efficiency changed;
// spectra dead now but not in the reference, and the other way round, are told apart.
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver/to_both.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/input_file.hpp"
#include "lib/io.hpp"
#include "lib/program_stop.hpp"
#include "lib/statistics.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

// The first bytes of every run file (the container's signature).
constexpr char run_file_signature[] = "\x89HDF\r\n\x1a\n";
constexpr std::size_t signature_size = sizeof run_file_signature - 1;

std::unique_ptr<InputFile> open_reference(const std::string &file) {
  std::string reason;
  auto in = open_input_file(file, reason);
  if (!in)
    throw ProgramStop::report(concat({"--reference: cannot read ", file, ": ", reason}));
  return in;
}

} // namespace

void load_reference(Io &io, RunState &run, dataaccess::Session &session, const std::string &file) {
  CheckRules &rules = run.rules;
  bool run_file = false;
  {
    const auto in = open_reference(file);
    char head[signature_size] = {};
    in->read(head, signature_size);
    run_file = static_cast<std::size_t>(in->gcount()) == signature_size &&
               std::memcmp(head, run_file_signature, signature_size) == 0;
  }
  rules.reference = true;
  rules.reference_file = full_name_of(file);
  if (run_file) {
    // Integrated as a run is, over every channel, through its own tables.
    auto reference = std::make_unique<RunState>();
    reference->full_input_name = name_text(rules.reference_file);
    reference->rules.tof_range = rules.tof_range; // the same window, in the reference's channels
    try {
      integrate_raw_file(io, *reference, session, 0, "the reference run");
    } catch (const ProgramStop &stop) {
      // A report already names its option (the window holding none of the reference run's
      // channels); a fatal line of the run file's reading is told as the reference's.
      if (stop.kind() == ProgramStop::Kind::report)
        throw;
      throw ProgramStop::report(concat({"--reference: ", trimmed(stop.message())}));
    }
    rules.reference_spectra = reference->spectra;
    rules.reference_integrals = std::move(reference->integrals);
    return;
  }
  rules.reference_integrals.assign(static_cast<std::size_t>(max_spectra) + 1, 0);
  const auto in = open_reference(file);
  if (!read_integrals(*in, rules.reference_integrals, rules.reference_spectra))
    throw ProgramStop::report(
        concat({"--reference: ", file, " is neither a run file nor a readable integrals file"}));
}

void reference_section(Io &io, RunState &run) {
  const CheckRules &rules = run.rules;
  if (!rules.reference)
    return;
  if (rules.reference_spectra != run.spectra)
    throw ProgramStop::report(
        concat({"--reference: ", rules.reference_file, " has ", exact_int(rules.reference_spectra),
                " spectra, the run ", exact_int(run.spectra)}));
  const auto reference_of = [&rules](std::int32_t s) {
    return s >= 1 && static_cast<std::size_t>(s) < rules.reference_integrals.size()
               ? rules.reference_integrals[static_cast<std::size_t>(s)]
               : 0;
  };

  // Every spectrum the searches test, once, in map order, with its module.
  std::vector<char> seen(static_cast<std::size_t>(max_spectra) + 1, 0);
  struct Tested {
    std::int32_t spectrum;
    int module_index;
  };
  std::vector<Tested> tested;
  for (int i = 1; i <= run.map.entries; ++i) {
    std::size_t idx = 0, slot = 0;
    const std::int32_t s = run.map.spectrum[static_cast<std::size_t>(i)];
    if (s < 1 || s > run.analysed || !entry_place(run, i, idx, slot) ||
        seen[static_cast<std::size_t>(s)] != 0)
      continue;
    seen[static_cast<std::size_t>(s)] = 1;
    tested.push_back({s, static_cast<int>(idx)});
  }

  ReferenceFindings &found = run.reference;
  std::vector<double> ratios;
  for (const Tested &t : tested) {
    const std::int32_t counts = integral_of(run, t.spectrum);
    const std::int32_t before = reference_of(t.spectrum);
    if (counts > 0 && before > 0)
      ratios.push_back(static_cast<double>(counts) / before);
  }
  found.median_ratio = median(std::span<double>(ratios));

  const float high = rules.variation;
  const float low = 1.0f / rules.variation;
  to_both(io, free_format({}));
  to_both(io, free_format({"** REFERENCE RUN SECTION **"}));
  to_both(io, free_format({}));
  to_both(io, " Reference: " + rules.reference_file);
  to_both(io, " Median ratio to the reference = " +
                  (found.median_ratio ? fixed_field(static_cast<float>(*found.median_ratio), 12, 6)
                                      : std::string("        none")) +
                  "  Variation limit = " + fixed_field(high, 8, 4));
  std::string last_label(4, ' ');
  const auto line = [&](const Tested &t, const std::string &what) {
    const std::string &label = run.modules.label[static_cast<std::size_t>(t.module_index)];
    if (label != last_label)
      to_both(io, free_format({}));
    to_both(io, " Spectrum " + int_field(t.spectrum, 5) + " in module " + label + what);
    last_label = label;
  };
  for (const Tested &t : tested) {
    const std::int32_t counts = integral_of(run, t.spectrum);
    const std::int32_t before = reference_of(t.spectrum);
    if (counts > 0 && before > 0 && found.median_ratio && *found.median_ratio > 0.0) {
      const auto q = static_cast<float>(static_cast<double>(counts) / before / *found.median_ratio);
      if (q > high || q < low) {
        found.varying.push_back({t.spectrum, t.module_index, q});
        line(t, " varies with ratio = " + fixed_field(q, 8, 4));
      }
    } else if (counts == 0 && before > 0) {
      found.newly_dead.push_back(t.spectrum);
      line(t, " is newly dead");
    } else if (counts > 0 && before == 0) {
      found.recovered.push_back(t.spectrum);
      line(t, " has recovered");
    }
  }
  to_both(io, free_format({}));
  to_both(io, " Varying spectra = " + exact_int(static_cast<std::int64_t>(found.varying.size())) +
                  "  Newly dead spectra = " +
                  exact_int(static_cast<std::int64_t>(found.newly_dead.size())) +
                  "  Recovered spectra = " +
                  exact_int(static_cast<std::int64_t>(found.recovered.size())));
}

} // namespace bantrisk
