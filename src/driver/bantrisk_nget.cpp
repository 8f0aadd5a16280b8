#include "driver/bantrisk_nget.hpp"

#include <exception>
#include <memory>
#include <ostream>

#include "dataaccess/dataaccess.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/header.hpp"
#include "lib/io.hpp"
#include "lib/process_guard.hpp"
#include "lib/prompting.hpp"

namespace bantrisk {

namespace {

void show_menu(Console &con) {
  con.write_line(free_format({"Options..."}));
  con.write_line(free_format({"1) Read data from .RAW file"}));
  con.write_line(free_format({"2) Read integrals from previous run of bantrisk"}));
}

void pass(Io &io, RunState &run, dataaccess::Session &session) {
  Console &con = io.console();

  // Start-up: the results file and the header, console first.
  create_output(io, run.results_name, results_unit);
  for (const int unit : {0, results_unit})
    prog_header(io, "BANTRISK", "Detector checking program", "Vorn Askell", "8-5-02", unit);

  // Menu.
  do {
    show_menu(con);
    run.option = 1;
    get_intd(con, run.option, "option", 1);
  } while (run.option != 1 && run.option != 2);

  if (run.option == 2) {
    read_integrals_file(io, run);
  } else {
    locate_raw_file(io, run);
    std::int32_t max_spectrum = 0;
    do {
      max_spectrum = 0;
      get_intd(con, max_spectrum, "maximum spectrum number to be analysed, or 0 to do all", 1);
    } while (max_spectrum < 0 || max_spectrum > 10000);
    integrate_raw_file(io, run, session, max_spectrum);
  }

  zero_count_report(io, run);
  load_detector_map(io, run);
  dead_spectra_section(io, run);
  low_high_section(io, run);

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

  save_integrals(io, run);
  write_mask_file(io, run);

  con.write_prompt(" Press Enter to finish > ");
  con.wait_for_line();
}

} // namespace

bool claim_check_folder(Console &con) {
  install_signal_handling();
  // The check writes its files in the current folder: one check at a time there.
  if (lock_folder(".") != FolderLock::busy)
    return true;
  con.write_line(free_format({"** ERROR: another check is running in this folder"}));
  return false;
}

int bantrisk_nget(Io &io, dataaccess::Session &session, std::ostream &err) {
  // The tables are large: they live on the heap for the whole pass.
  auto run = std::make_unique<RunState>();
  int status = exit_normal;
  try {
    pass(io, *run, session);
  } catch (const ProgramStop &stop) {
    status = stop.status;
  } catch (const EndOfInput &e) {
    err << "bantrisk: " << e.what() << '\n';
    status = exit_end_of_input;
  } catch (const std::exception &e) {
    err << "bantrisk: " << e.what() << '\n';
    status = exit_fatal;
  }
  // On every end the results file keeps what was written to it.
  io.close_all();
  // A normal end that could not create or complete one of its files, or write its console
  // lines, is not a success.
  if (io.console().output_failed())
    err << "bantrisk: the console output could not be written completely\n";
  if (status == exit_normal && (io.output_failed() || io.console().output_failed()))
    status = exit_fatal;
  return status;
}

} // namespace bantrisk
