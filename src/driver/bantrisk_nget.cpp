#include "driver/bantrisk_nget.hpp"

#include <exception>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "dataaccess/dataaccess.hpp"
#include "driver/answers.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/header.hpp"
#include "lib/io.hpp"
#include "lib/process_guard.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

void pass(Io &io, RunState &run, dataaccess::Session &session, Answers &ask) {
  Console &con = io.console();

  // Start-up: the results file and the header, console first.
  create_output(io, run.results_name, results_unit);
  for (const int unit : {0, results_unit})
    prog_header(io, "BANTRISK", "Detector checking program", "Vorn Askell", "8-5-02", unit);

  run.option = ask.source_option(io);
  if (run.option == 2) {
    read_integrals_file(io, run, ask);
  } else {
    locate_raw_file(io, run, ask);
    integrate_raw_file(io, run, session, ask.max_spectrum(io));
  }

  zero_count_report(io, run);
  load_detector_map(io, run, ask);
  dead_spectra_section(io, run, ask);
  low_high_section(io, run, ask);
  reference_section(io, run);

  // The results file is complete; it is claimed only when it is in place.
  const bool written = io.close(results_unit);
  con.write_line(free_format({}));
  if (written)
    con.write_line(free_format({"Detector checking results written to file: ",
                                std::string_view(run.results_name).substr(0, 35)}));
  else
    con.write_line(free_format(
        {"Detector checking results were not written to file: ", trimmed(run.results_name)}));
  con.write_line(free_format({}));

  save_integrals(io, run, ask);
  write_mask_file(io, run, ask);
  ask.finish(io);
}

} // namespace

std::optional<std::string> claim_check_folders(const std::vector<std::string> &folders) {
  install_signal_handling();
  // One check at a time writes in a folder.
  for (const std::string &folder : folders)
    if (lock_folder(folder) == FolderLock::busy)
      return folder;
  return std::nullopt;
}

bool claim_check_folder(Console &con) {
  // The dialogue writes its files in the current folder.
  if (!claim_check_folders({"."}))
    return true;
  con.write_line(free_format({"** ERROR: another check is running in this folder"}));
  return false;
}

int run_pass(Io &io, dataaccess::Session &session, Answers &ask, RunState &run) {
  int status = exit_normal;
  try {
    pass(io, run, session, ask);
  } catch (const ProgramStop &stop) {
    io.events().stop(stop);
    status = stop.status();
  } catch (const std::exception &e) {
    // Anything unforeseen (memory, for one) ends the pass in order.
    io.events().stop(ProgramStop::report(e.what()));
    status = exit_fatal;
  }
  io.close_all();
  io.console().flush();
  // A normal end that could not create or complete one of its files is not a success.
  if (status == exit_normal && io.output_failed())
    status = exit_fatal;
  return status;
}

int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err) {
  // The tables are large: they live on the heap for the whole pass.
  auto run = std::make_unique<RunState>();
  ConsoleEvents events(io.console(), err);
  io.use_events(&events);
  int status = run_pass(io, session, dialogue(), *run);
  io.use_events(nullptr);
  // Nor is one whose console lines could not all be written.
  if (io.console().output_failed()) {
    err << "bantrisk: the console output could not be written completely\n";
    if (status == exit_normal)
      status = exit_fatal;
  }
  return status;
}

} // namespace bantrisk
