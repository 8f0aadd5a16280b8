// The interactive dialogue: every choice of the pass asked on the console, each question
// repeated until its answer is acceptable.
#include <string>

#include "driver/answers.hpp"
#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "lib/check_defaults.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/program_stop.hpp"
#include "lib/prompting.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"

namespace bantrisk {

namespace {

void show_options(Console &con, std::string_view first, std::string_view second) {
  con.write_line(free_format({"Options..."}));
  con.write_line(free_format({first}));
  con.write_line(free_format({second}));
}

class Dialogue final : public Answers {
public:
  int source_option(Io &io) override {
    Console &con = io.console();
    std::int32_t option = 1;
    do {
      show_options(con, "1) Read data from .RAW file",
                   "2) Read integrals from previous run of bantrisk");
      option = 1;
      get_intd(con, option, "option", 1);
    } while (option != 1 && option != 2);
    return option;
  }

  void integrals_name(Io &io, RunState &run) override {
    run.integrals_name = fixed_text(default_integrals_file, name_length);
    int nchar = static_cast<int>(default_integrals_file.size());
    get_stringd(io.console(), run.integrals_name, "input file name", nchar, 1);
  }

  std::optional<std::string> raw_file(Io &io, RunState &run) override {
    Console &con = io.console();
    run.instrument = default_instrument;
    int idef = 1;
    get_instname3(con, run.instrument, idef);
    getrawdir(io, run.instrument, run.raw_directory, run.raw_directory_length);

    // Only an extension of exactly three characters ends the question.
    run.extension = default_extension;
    int nchar = 3;
    do {
      get_stringd(con, run.extension, "extension for raw data file", nchar, 1);
    } while (nchar != 3);

    // The run number is written in five digits in the name.
    for (;;) {
      get_intd(con, run.run_number, "run number", 0);
      if (run.run_number >= 0 && run.run_number <= max_run_number)
        break;
      con.write_line(free_format({"** ERROR: run number ", exact_int(run.run_number),
                                  " is outside 0 to ", exact_int(max_run_number)}));
    }
    return std::nullopt;
  }

  std::int32_t max_spectrum(Io &io) override {
    std::int32_t max_spectrum = 0;
    do {
      max_spectrum = 0;
      get_intd(io.console(), max_spectrum, "maximum spectrum number to be analysed, or 0 to do all",
               1);
    } while (max_spectrum < 0 || max_spectrum > max_spectrum_bound);
    return max_spectrum;
  }

  std::optional<std::string> named_spectra_file() override { return std::nullopt; }
  std::optional<std::string> named_spectrum_list() override { return std::nullopt; }

  void existing_input(Io &io, std::string &name, InputKind, const RunState &) override {
    int istat = 0;
    check_file(io, name, name, 1, 1, istat);
  }

  void unlisted_spectra_file(Io &io, RunState &run, bool) override {
    run.spectra_name = std::string(name_length, ' ');
    int nchar = 0;
    get_stringd(io.console(), run.spectra_name, "spectrum file", nchar, 0);
  }

  [[noreturn]] void spectra_count_mismatch(const RunState &, std::int32_t) override {
    throw ProgramStop::fatal("** ERROR: spectrum file has unexpected number of spectra");
  }

  bool counts_per_spectrum(Io &io) override {
    std::int32_t answer = 0;
    get_intd(io.console(), answer, "1 to output counts per spectrum data, 0 otherwise", 1);
    return answer == 1;
  }

  void module_fractions(Io &io, float &low, float &high) override {
    get_paramd(io.console(), low, "low fraction", 1);
    get_paramd(io.console(), high, "high fraction", 1);
  }

  void bank_limits(Io &io, RunState &run) override {
    for (;;) {
      io.write_line(0, free_format({}));
      limit_lines(io, run, 0);
      std::int32_t slot = 9;
      get_intd(io.console(), slot, "number of bank to modify, or 9 to continue", 1);
      if (slot == 9)
        return;
      if (slot >= 1 && slot <= bank_slots) {
        const auto b = static_cast<std::size_t>(slot);
        get_2paramd(io.console(), run.low_limit[b], run.high_limit[b], "low limit", "high limit",
                    1);
      }
    }
  }

  bool save_integrals(Io &io, RunState &run) override {
    std::int32_t answer = 0;
    do {
      get_intd(io.console(), answer, "1 to save integrals in file, or 0 otherwise", 1);
    } while (answer != 0 && answer != 1);
    run.integrals_name = fixed_text(default_integrals_file, name_length);
    return answer == 1;
  }

  std::optional<MaskChoice> mask(Io &io) override {
    Console &con = io.console();
    std::int32_t wanted = 0;
    do {
      wanted = 0;
      get_intd(con, wanted, "1 to create mask file, or 0 otherwise", 1);
    } while (wanted != 0 && wanted != 1);
    if (wanted == 0)
      return std::nullopt;

    MaskChoice choice;
    choice.name = fixed_text(default_mask_file, name_length);
    int nchar = static_cast<int>(default_mask_file.size());
    get_stringd(con, choice.name, "full name of mask file", nchar, 1);
    // The mask never replaces the run file, the spectrum file list or the spectra file.
    while (io.is_input(choice.name)) {
      refuse_input_as_output(con, full_name_of(choice.name));
      get_stringd(con, choice.name, "full name of mask file", nchar, 1);
    }

    con.write_line(free_format({}));
    std::int32_t option = 1;
    do {
      show_options(con, "1) Mask dead spectra only", "2) Mask dead spectra and low/high spectra");
      option = 1;
      get_intd(con, option, "option", 1);
    } while (option != 1 && option != 2);
    choice.option = option == 2 ? mask_dead | mask_low_high : mask_dead;
    return choice;
  }

  void finish(Io &io) override {
    io.console().write_prompt(" Press Enter to finish > ");
    io.console().wait_for_line();
  }
};

} // namespace

Answers &dialogue() {
  static Dialogue the_dialogue;
  return the_dialogue;
}

} // namespace bantrisk
