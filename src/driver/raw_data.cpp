// Option 1: where the raw file is, and the integration of its spectra.
#include "driver/raw_data.hpp"

#include <array>
#include <exception>
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
#include "lib/raw_location.hpp"
#include "lib/text.hpp"

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
  Console &con = io.console();
  std::string reason;
  const std::string full(trimmed(run.full_input_name));
  if (!open_input_file(full, reason)) {
    con.write_line(free_format({"** ERROR in run file ", full, " : ", reason}));
    throw ProgramStop{1};
  }
  io.guard_input(full);
}

void integrate_spectra(Io &io, RunState &run, const SpectrumFetch &fetch) {
  Console &con = io.console();
  // One pair of buffers serves every spectrum; only the integral of each is kept.
  std::vector<float> boundaries(max_channel_values, 0.0f);
  std::vector<double> values(max_channel_values, 0.0);
  const auto n = static_cast<std::size_t>(run.channels) + 1;
  const std::span<float> b(boundaries.data(), n);
  const std::span<double> v(values.data(), n);

  for (std::int32_t s = 1; s <= run.analysed; ++s) {
    if (s % 100 == 0)
      pr_int_2(con, "Integrating spectrum ", s, " from a total ", run.analysed);
    fetch(s, b, v);
    IntegrationNotes notes;
    run.integrals[static_cast<std::size_t>(s)] = integ_spec(b, v, run.channels, &notes);
    if (notes.not_a_number)
      con.write_line(free_format({"** WARNING: spectrum ", exact_int(s),
                                  " has channels that are not numbers; they are counted as 0"}));
    if (notes.clamped)
      con.write_line(free_format({"** WARNING: total counts of spectrum ", exact_int(s),
                                  " lie beyond the range of whole numbers; limited to ",
                                  exact_int(run.integrals[static_cast<std::size_t>(s)])}));
  }
}

namespace {

// The run's sizes must fit the tables before a spectrum is fetched.
void check_run_sizes(Console &con, const RunState &run) {
  if (run.spectra < 0 || run.spectra > max_spectra) {
    con.write_line(free_format({"** ERROR: the run has ", exact_int(run.spectra),
                                " spectra; at most ", exact_int(max_spectra), " can be checked"}));
    throw ProgramStop{1};
  }
  if (run.channels < 0 || run.channels > max_channel_values - 1) {
    con.write_line(
        free_format({"** ERROR: the run has ", exact_int(run.channels), " time channels; at most ",
                     exact_int(max_channel_values - 1), " can be integrated"}));
    throw ProgramStop{1};
  }
}

} // namespace

void integrate_raw_file(Io &io, RunState &run, dataaccess::Session &session,
                        std::int32_t max_spectrum) {
  Console &con = io.console();
  try {
    session.mf_activate_session("MORLA", 0, 0);
    session.mf_select_source(run.raw_name);
    session.mf_get("h_NSP1", "NSP1", 0);
    session.mf_get("h_NTC1", "NTC1", 0);
    session.mf_transfer("h_NSP1", "-->", "INT32", &run.spectra, 0, 0);
    session.mf_transfer("h_NTC1", "-->", "INT32", &run.channels, 0, 0);
    pr_int(con, "Number of spectra = ", run.spectra);
    pr_int(con, "Number of time channels = ", run.channels);
    check_run_sizes(con, run);

    run.analysed = max_spectrum;
    if (max_spectrum > run.spectra) {
      con.write_line(free_format({"Too many spectra requested"}));
      run.analysed = run.spectra;
    }
    if (max_spectrum <= 0)
      run.analysed = run.spectra;

    con.write_line(free_format({"** DEAD SPECTRA SECTION **"}));
    con.write_line(free_format({"Please wait..."}));
    const std::int32_t n = run.channels + 1;
    integrate_spectra(io, run, [&](std::int32_t s, std::span<float> b, std::span<double> v) {
      session.mf_get("h_DATA", " ", s);
      session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", b.data(), 1, n);
      session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", v.data(), 1, n);
    });

    session.mf_release_handle("h_NSP1");
    session.mf_release_handle("h_NTC1");
    session.mf_release_handle("h_DATA");
    session.mf_deactivate_session();
  } catch (const dataaccess::RunFileError &e) {
    // A bad run file ends the check: no report is made from a partial run.
    con.write_line(free_format({e.what()}));
    session.mf_deactivate_session();
    throw ProgramStop{1};
  } catch (const ProgramStop &) {
    session.mf_deactivate_session();
    throw;
  } catch (const std::exception &e) {
    // Anything else going wrong while the run file is read (memory, for one) ends the check
    // in the same way.
    con.write_line(
        free_format({"** ERROR reading run file ", trimmed(run.full_input_name), " : ", e.what()}));
    session.mf_deactivate_session();
    throw ProgramStop{1};
  }
}

} // namespace bantrisk
