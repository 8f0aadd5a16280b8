// Option 1: where the raw file is, and the integration of its spectra.
#include "driver/raw_data.hpp"

#include <algorithm>
#include <array>
#include <exception>
#include <optional>
#include <vector>

#include "dataaccess/dataaccess.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/input_file.hpp"
#include "lib/integration.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/program_stop.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"
#include "lib/tof_window.hpp"

namespace bantrisk {

void locate_raw_file(Io &io, RunState &run, Answers &ask) {
  if (auto named = ask.raw_file(io, run)) {
    // A run file named directly keeps its whole name, however long.
    run.raw_name = name_text(*named);
  } else {
    run.raw_name = compose_raw_name(run.raw_directory, run.raw_directory_length, run.instrument,
                                    run.run_number, run.extension);
  }
  int istat = 0;
  check_file(io, run.raw_name, run.full_input_name, 0, 1, istat);

  // Only a regular file is a run file: a pipe or a device would make the reading wait.
  std::string reason;
  const std::string full(trimmed(run.full_input_name));
  if (!open_input_file(full, reason))
    throw ProgramStop::fatal(concat({"** ERROR in run file ", full, " : ", reason}));
  io.guard_input(full);
}

namespace {

// The warnings of spectrum s, whose integral run.integrals[s] holds, from what its integration
// had to do.
void report_notes(Events &events, const RunState &run, std::int32_t s,
                  const IntegrationNotes &notes) {
  if (notes.not_a_number)
    events.warning(concat({"** WARNING: spectrum ", exact_int(s),
                           " has channels that are not numbers; they are counted as 0"}));
  if (notes.out_of_range)
    events.warning(concat({"** WARNING: spectrum ", exact_int(s),
                           " has channels whose counts are infinite or beyond the range "
                           "of whole numbers; they are counted as 0"}));
  if (notes.clamped)
    events.warning(concat({"** WARNING: total counts of spectrum ", exact_int(s),
                           " lie beyond the range of whole numbers; limited to ",
                           exact_int(run.integrals[static_cast<std::size_t>(s)])}));
}

} // namespace

void integrate_spectra(Io &io, RunState &run, const SpectrumFetch &fetch,
                       const WholeCountsOf &whole_counts) {
  Events &events = io.events();
  // One pair of buffers serves every spectrum; only the integral of each is kept.
  std::vector<float> boundaries(max_channel_values, 0.0f);
  std::vector<double> values(max_channel_values, 0.0);
  const auto n = static_cast<std::size_t>(run.channels) + 1;
  const std::span<float> b(boundaries.data(), n);
  const std::span<double> v(values.data(), n);

  for (std::int32_t s = 1; s <= run.analysed; ++s) {
    if (s % 100 == 0)
      events.progress(s, run.analysed);
    fetch(s, b, v);
    IntegrationNotes notes;
    const std::span<const std::int32_t> whole =
        whole_counts ? whole_counts() : std::span<const std::int32_t>{};
    run.integrals[static_cast<std::size_t>(s)] =
        whole.size() >= static_cast<std::size_t>(run.channels)
            ? integ_whole_counts(b, whole, run.channels, &notes)
            : integ_spec(b, v, run.channels, &notes);
    report_notes(events, run, s, notes);
  }
}

void integrate_run(Io &io, RunState &run, const std::vector<dataaccess::SpectrumTotal> &totals) {
  Events &events = io.events();
  const std::int32_t count =
      std::min<std::int32_t>(run.analysed, static_cast<std::int32_t>(totals.size()));
  for (std::int32_t s = 1; s <= count; ++s) {
    if (s % 100 == 0)
      events.progress(s, run.analysed);
    const dataaccess::SpectrumTotal &t = totals[static_cast<std::size_t>(s - 1)];
    run.integrals[static_cast<std::size_t>(s)] = t.integral;
    report_notes(events, run, s, t.notes);
  }
}

namespace {

// The run's sizes must fit the tables before a spectrum is fetched.
void check_run_sizes(const RunState &run) {
  if (run.spectra < 0 || run.spectra > max_spectra)
    throw ProgramStop::fatal(
        concat({"** ERROR: the run has ", exact_int(run.spectra), " spectra; at most ",
                exact_int(max_spectra), " can be checked"}));
  if (run.channels < 0 || run.channels > max_channel_values - 1)
    throw ProgramStop::fatal(
        concat({"** ERROR: the run has ", exact_int(run.channels), " time channels; at most ",
                exact_int(max_channel_values - 1), " can be integrated"}));
}

} // namespace

namespace {

// The channels of the check's time-of-flight window in the selected run, from the run's
// boundaries (the same for every spectrum, so those of spectrum 1).
ChannelRange window_channels(dataaccess::Session &session, const RunState &run,
                             const TofRange &range, std::string_view run_label) {
  std::vector<float> boundaries(static_cast<std::size_t>(run.channels) + 1, 0.0f);
  if (run.spectra >= 1 && run.channels >= 1) {
    session.mf_get("h_DATA", " ", 1);
    session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", boundaries.data(), 1, run.channels + 1);
  } else {
    boundaries.clear(); // no channel to lie within the window
  }
  const auto window = tof_channels(boundaries, range.t1, range.t2);
  if (!window)
    throw ProgramStop::report(
        concat({"--tof-range: ", empty_window_reason(boundaries, range.t1, range.t2, run_label)}));
  return *window;
}

} // namespace

void integrate_raw_file(Io &io, RunState &run, dataaccess::Session &session,
                        std::int32_t max_spectrum, std::string_view run_label) {
  Console &con = io.console();
  try {
    session.probe_source(run.full_input_name);
    session.mf_activate_session("MORLA", 0, 0);
    session.mf_select_source(run.full_input_name); // the file whose existence was checked
    session.mf_get("h_NSP1", "NSP1", 0);
    session.mf_get("h_NTC1", "NTC1", 0);
    session.mf_transfer("h_NSP1", "-->", "INT32", &run.spectra, 0, 0);
    session.mf_transfer("h_NTC1", "-->", "INT32", &run.channels, 0, 0);
    pr_int(con, "Number of spectra = ", run.spectra);
    pr_int(con, "Number of time channels = ", run.channels);
    check_run_sizes(run);

    run.analysed = max_spectrum;
    if (max_spectrum > run.spectra) {
      con.write_line(free_format({"Too many spectra requested"}));
      run.analysed = run.spectra;
    }
    if (max_spectrum <= 0)
      run.analysed = run.spectra;

    std::optional<ChannelRange> window;
    if (run.rules.tof_range) {
      window = window_channels(session, run, *run.rules.tof_range, run_label);
      run.rules.tof_channels = window;
    }

    con.write_line(free_format({"** DEAD SPECTRA SECTION **"}));
    con.write_line(free_format({"Please wait..."}));
    integrate_run(io, run, session.integrate(run.analysed, window));

    session.mf_release_handle("h_NSP1");
    session.mf_release_handle("h_NTC1");
    session.mf_release_handle("h_DATA");
    session.mf_deactivate_session();
  } catch (const dataaccess::RunFileError &e) {
    // A bad run file ends the check: no report is made from a partial run.
    session.mf_deactivate_session();
    throw ProgramStop::fatal(e.what());
  } catch (const ProgramStop &) {
    session.mf_deactivate_session();
    throw;
  } catch (const std::exception &e) {
    // Anything else going wrong while the run file is read (memory, for one) ends the check
    // in the same way.
    session.mf_deactivate_session();
    throw ProgramStop::fatal(
        concat({"** ERROR reading run file ", trimmed(run.full_input_name), " : ", e.what()}));
  }
}

} // namespace bantrisk
