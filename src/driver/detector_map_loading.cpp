// The detector map: the spectrum file list, the spectra file and the split of every entry.
#include <array>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "lib/capacities.hpp"
#include "lib/check_defaults.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/fields.hpp"
#include "lib/files.hpp"
#include "lib/freeformat.hpp"
#include "lib/input_file.hpp"
#include "lib/io.hpp"
#include "lib/messages.hpp"
#include "lib/spectra_file.hpp"
#include "lib/text.hpp"
#include "lib/words.hpp"

namespace bantrisk {

namespace {

// The spectrum file list: in the Z_R directory when Z_R is set, else in the current directory.
std::string list_name_from_z_r(const Io &io) {
  std::string z_r;
  int k = 0;
  setz_r(io, z_r, k);
  // Without a pair of blanks the value fills its whole text: all of it names the directory.
  if (k < 0)
    k = len_string(z_r);
  return name_text(z_r.substr(0, static_cast<std::size_t>(k)) + std::string(default_spectrum_list));
}

enum class Search { found, not_found, read_failure };

// The spectra file named by the first list line whose number of spectra is the run's.
void spectra_file_from_list(Io &io, RunState &run, Answers &ask) {
  Console &con = io.console();
  const std::optional<std::string> named_list = ask.named_spectrum_list();
  run.list_name = named_list ? name_text(*named_list) : list_name_from_z_r(io);
  con.write_line(
      free_format({"Reading spectrum file information from: ", first_chars(run.list_name, 30)}));
  ask.existing_input(io, run.list_name, InputKind::spectrum_list, run);

  // The first list line whose number of spectra is the run's names the spectra file: the
  // name is everything from the line's second word up to column 80.
  Search search = Search::not_found;
  {
    const auto opened = open_input_file_or_stop(run.list_name);
    std::istream &list = *opened;
    io.guard_input(std::string(trimmed(run.list_name)));
    std::int32_t count = 0;
    const std::array<FreeTarget, 1> count_target{&count};
    if (read_free(list, count_target) != ReadStatus::ok)
      throw ProgramStop::fatal(
          concat({"Error reading the number of list lines from ", trimmed(run.list_name)}));
    // At least one list line is looked at, whatever the count says.
    for (std::int32_t line_count = 0;;) {
      std::string line;
      if (!read_text_line(list, line)) {
        search = Search::read_failure;
        break;
      }
      ++line_count;
      const std::string kept = fixed_text(line, name_length);
      // A line whose first value is null or cut short by a slash gives no number: it must
      // never match, so the number starts as one that differs from the run's.
      std::int32_t number = run.spectra == 0 ? 1 : 0;
      const std::array<FreeTarget, 1> number_target{&number};
      if (read_free(kept, number_target) != ReadStatus::ok) {
        search = Search::read_failure;
        break;
      }
      if (number == run.spectra) {
        std::array<int, name_length / 2 + 1> iw{};
        int nw = 0;
        count_word(kept, iw, nw);
        // No second word: an empty name, which the file check below treats as missing.
        run.spectra_name =
            fixed_text(nw >= 2 ? std::string_view(kept).substr(static_cast<std::size_t>(iw[1] - 1))
                               : std::string_view(),
                       name_length);
        search = Search::found;
        break;
      }
      if (line_count >= count)
        break;
    }
  }

  if (search != Search::found) {
    con.write_line(
        free_format({search == Search::not_found ? "Appropriate spectrum file not found in "
                                                 : "Error reading data from ",
                     first_chars(run.list_name, 40)}));
    ask.unlisted_spectra_file(io, run, search == Search::read_failure);
  }
}

} // namespace

void load_detector_map(Io &io, RunState &run, Answers &ask) {
  if (auto named = ask.named_spectra_file())
    run.spectra_name = name_text(*named);
  else
    spectra_file_from_list(io, run, ask);
  ask.existing_input(io, run.spectra_name, InputKind::spectra_file, run);
  Console &con = io.console();
  const auto spectra_file = open_input_file_or_stop(run.spectra_name);
  io.guard_input(std::string(trimmed(run.spectra_name)));

  con.write_line(free_format({"Spectrum file: ", first_chars(run.spectra_name, 60)}));
  io.write_line(results_unit, "Spectrum file: " + first_chars(run.spectra_name, 60));

  DetectorMap &map = run.map;
  std::vector<std::int32_t> first_line(max_spectra + 1, 0);
  const SpectraTables tables{map.code, map.spectrum, first_line};
  read_spectra(io, spectra_file.get(), run.spectra_name, tables, map.entries, map.specified,
               map.largest, max_spectra, 1);

  if (map.entries != map.specified) {
    io.events().warning("** Error : inconsistent number of entries specified & found **");
    pr_int(con, "Specified number of entries = ", map.specified);
  }

  if (map.largest != run.spectra)
    ask.spectra_count_mismatch(run, map.largest);

  // Split every entry. An entry is counted in a module only when its element group is 0 or 1,
  // its code names a module of this instrument and its spectrum number has an integral; the
  // others of groups 0 and 1, and every entry without such a spectrum number, are reported
  // here and left out of the checks.
  for (std::int32_t i = 1; i <= map.entries; ++i) {
    const auto e = static_cast<std::size_t>(i);
    deconstruct_ndet(map.code[e], map.bank[e], map.side[e], map.module[e], map.group[e],
                     map.element[e]);
    const bool spectrum_ok = map.spectrum[e] >= 1 && map.spectrum[e] <= max_spectra;
    const bool candidate = map.group[e] < 2;
    const bool code_ok = map.code[e] >= 0 && names_module(run.modules_per_side, map.bank[e],
                                                          map.side[e], map.module[e]);
    map.in_module[e] = spectrum_ok && candidate && code_ok ? 1 : 0;

    const std::string where = "** WARNING: spectra file line " + exact_int(first_line[e]) + ": ";
    if (!spectrum_ok) {
      io.events().warning(concat({where, "spectrum number ", exact_int(map.spectrum[e]),
                                  " (detector code ", exact_int(map.code[e]), ") is outside 1 to ",
                                  exact_int(max_spectra), "; entry left out of the checks"}));
    } else if (candidate && !code_ok) {
      io.events().warning(concat({where, "detector code ", exact_int(map.code[e]), " (spectrum ",
                                  exact_int(map.spectrum[e]),
                                  ") names no detector module; entry left out of the checks"}));
    }
  }
}

} // namespace bantrisk
