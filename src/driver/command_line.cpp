#include "driver/command_line.hpp"

#include <CLI/CLI.hpp>
#include <charconv>
#include <cmath>
#include <iostream>
#include <limits>
#include <unistd.h>

#include "dataaccess/dataaccess.hpp"
#include "driver/bantrisk_nget.hpp"
#include "driver/check_command.hpp"
#include "driver/version.hpp"
#include "lib/console.hpp"
#include "lib/files.hpp"
#include "lib/io.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"
#include "picture/picture.hpp"

namespace bantrisk {

namespace {

namespace fs = std::filesystem;

constexpr std::string_view usage_text =
    R"(bantrisk checks the detectors of a time-of-flight instrument after a run.

Usage:
  bantrisk                  the interactive check: every choice is asked on the console
  bantrisk check [OPTIONS]  the whole check without a question, its choices from the options
  bantrisk --help, -h       this text
  bantrisk --version        the program's version

Exit status of check: 0 the check completed, whatever it found; 1 it could not complete (the
reason is on standard error); 2 the command line could not be used.

)";

// A real option value: finite and within single precision.
float single_real(const std::string &option, const std::string &text) {
  double value = 0.0;
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || !std::isfinite(value) ||
      std::fabs(value) > std::numeric_limits<float>::max())
    throw UsageError{option + ": " + text + " is not a real number of single precision"};
  return static_cast<float>(value);
}

// A whole-number option value, in decimal whatever its leading zeros (a run number is often
// written 01234), within low..high.
std::int32_t whole_number(const std::string &option, const std::string &text, std::int32_t low,
                          std::int32_t high) {
  std::int32_t value = 0;
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
    throw UsageError{option + ": " + text + " is not a whole number " + std::to_string(low) +
                     " to " + std::to_string(high)};
  return value;
}

BankLimits bank_limits_of(const std::string &text) {
  const std::string option = "--limits";
  const auto first = text.find(':');
  const auto second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
    throw UsageError{option + ": " + text + " is not of the form BANK:LOW:HIGH"};
  return {whole_number(option + " bank", text.substr(0, first), 1, bank_slots),
          single_real(option, text.substr(first + 1, second - first - 1)),
          single_real(option, text.substr(second + 1))};
}

// File names are held without trailing blanks, so a name must not end with one.
std::string checked_name(const std::string &option, const std::string &name) {
  if (trimmed(name).size() != name.size() || name.empty())
    throw UsageError{option + ": a file name must not be empty or end with a blank"};
  return name;
}

std::optional<std::string> checked_name(const std::string &option,
                                        const std::optional<std::string> &name) {
  if (!name)
    return std::nullopt;
  return checked_name(option, *name);
}

struct CheckCommand {
  CLI::App *app = nullptr;
  std::optional<std::string> run;
  std::optional<std::string> instrument, raw_dir, extension, run_file, integrals;
  std::optional<std::string> max_spectrum;
  std::optional<std::string> spectrum_list, spectra_file;
  std::optional<std::string> low_fraction, high_fraction;
  std::vector<std::string> limits;
  bool counts_per_spectrum = false;
  std::string results = "bantrisk.dat";
  std::vector<std::string> save_integrals;
  CLI::Option *save_option = nullptr;
  std::optional<std::string> mask, mask_spectra, mask_format, summary;
  std::vector<std::string> pictures;
  bool quiet = false;

  // An option with a value, named `type` in the usage and shown in its `group`.
  template <typename T>
  void value(const char *name, T &target, const char *help, const char *type,
             const std::string &group) {
    app->add_option(name, target, help)->type_name(type)->group(group);
  }

  explicit CheckCommand(CLI::App &parent) {
    app = parent.add_subcommand("check", "The whole check without a question.");
    app->set_help_flag("--help,-h", "This text.");
    const std::string source = "Source (exactly one of --run, --run-file, --integrals)";
    value("--run", run, "Option 1 on run N (0 to 99999): the raw file DIR ABC N.EXT", "N", source);
    value("--instrument", instrument, "Three-letter instrument name (KRV)", "ABC", source);
    value("--raw-dir", raw_dir, "Folder of the raw files (ABC_DATA); / added", "DIR", source);
    value("--extension", extension, "Three-character raw file extension (RAW)", "EXT", source);
    value("--run-file", run_file, "Option 1 on this run file", "PATH", source);
    value("--integrals", integrals, "Option 2 on this integrals file", "FILE", source);
    value("--max-spectrum", max_spectrum, "Highest spectrum analysed, 0 to 10000 (0: all)", "N",
          source);

    const std::string map = "Detector map";
    value("--spectrum-list", spectrum_list, "Spectrum file list (specfile.dat in the Z_R folder)",
          "FILE", map);
    value("--spectra-file", spectra_file, "Use this spectra file; no list is read", "FILE", map);

    const std::string checks = "Checks";
    value("--low-fraction", low_fraction, "Low module fraction (0.3)", "X", checks);
    value("--high-fraction", high_fraction, "High module fraction (1.5)", "X", checks);
    value("--limits", limits, "Spectrum limits of bank 1 to 8; repeatable", "BANK:LOW:HIGH",
          checks);
    app->add_flag("--counts-per-spectrum", counts_per_spectrum,
                  "Report the module and bank averages")
        ->group(checks);

    const std::string outputs = "Outputs";
    value("--results", results, "Results file (bantrisk.dat)", "FILE", outputs);
    save_option = app->add_option("--save-integrals", save_integrals,
                                  "Save the integrals, in FILE (bantrisk.ans)")
                      ->expected(0, 1)
                      ->type_name("[=FILE]")
                      ->group(outputs);
    value("--mask", mask, "Write a mask file", "FILE", outputs);
    app->add_option("--mask-spectra", mask_spectra,
                    "Mask dead spectra (the default) or also low and high spectra")
        ->type_name("dead|dead-low-high")
        ->check(CLI::IsMember({"dead", "dead-low-high"}).description(""))
        ->group(outputs);
    app->add_option("--mask-format", mask_format,
                    "Mask form (from FILE: .xml xml, .msk msk, else columns)")
        ->type_name("columns|xml|msk")
        ->check(CLI::IsMember({"columns", "xml", "msk"}).description(""))
        ->group(outputs);
    value("--summary", summary, "JSON summary; - for standard output", "FILE", outputs);
    value("--picture", pictures, "Draw the modules and spectra in FILE, .png or .svg; repeatable",
          "FILE", outputs);
    app->add_flag("--quiet", quiet, "Only errors (and the JSON with --summary -)")->group(outputs);
  }

  CheckOptions options() const {
    CheckOptions o;
    const int sources = (run ? 1 : 0) + (run_file ? 1 : 0) + (integrals ? 1 : 0);
    if (sources != 1)
      throw UsageError{sources == 0 ? "check needs one of --run, --run-file or --integrals"
                                    : "check takes only one of --run, --run-file or --integrals"};
    for (const auto &[given, name] : {std::pair{instrument.has_value(), "--instrument"},
                                      std::pair{raw_dir.has_value(), "--raw-dir"},
                                      std::pair{extension.has_value(), "--extension"}})
      if (given && !run)
        throw UsageError{std::string(name) + " needs --run"};
    if (max_spectrum && integrals)
      throw UsageError{"--max-spectrum needs --run or --run-file"};
    if (spectrum_list && spectra_file)
      throw UsageError{"--spectrum-list and --spectra-file exclude each other"};
    if ((mask_spectra || mask_format) && !mask)
      throw UsageError{std::string(mask_spectra ? "--mask-spectra" : "--mask-format") +
                       " needs --mask"};

    if (run)
      o.run = whole_number("--run", *run, 0, max_run_number);
    if (instrument) {
      const bool letters = instrument->size() == 3 &&
                           std::all_of(instrument->begin(), instrument->end(), [](char c) {
                             return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
                           });
      if (!letters)
        throw UsageError{"--instrument: " + *instrument + " is not exactly three letters"};
      o.instrument = *instrument;
    }
    if (extension) {
      const bool fits = extension->size() == 3 &&
                        std::all_of(extension->begin(), extension->end(),
                                    [](char c) { return c > ' ' && c != '/' && c != 127; });
      if (!fits)
        throw UsageError{"--extension: " + *extension +
                         " is not exactly three characters (no blank or /)"};
      o.extension = *extension;
    }
    if (raw_dir) {
      std::string dir = checked_name("--raw-dir", *raw_dir);
      if (dir.back() != '/')
        dir += '/';
      if (dir.size() > static_cast<std::size_t>(max_raw_directory_length))
        throw UsageError{"--raw-dir: a folder of " + std::to_string(dir.size()) +
                         " characters is too long: at most " +
                         std::to_string(max_raw_directory_length) + " fit in the raw file name"};
      o.raw_dir = dir;
    }
    o.run_file = checked_name("--run-file", run_file);
    o.integrals = checked_name("--integrals", integrals);
    if (max_spectrum)
      o.max_spectrum = whole_number("--max-spectrum", *max_spectrum, 0, max_spectrum_bound);
    o.spectrum_list = checked_name("--spectrum-list", spectrum_list);
    o.spectra_file = checked_name("--spectra-file", spectra_file);
    if (low_fraction)
      o.low_fraction = single_real("--low-fraction", *low_fraction);
    if (high_fraction)
      o.high_fraction = single_real("--high-fraction", *high_fraction);
    for (const std::string &l : limits)
      o.limits.push_back(bank_limits_of(l));
    o.counts_per_spectrum = counts_per_spectrum;
    o.results = checked_name("--results", results);
    if (save_option->count() > 0)
      // Given without a value, the option has one empty value.
      o.save_integrals =
          checked_name("--save-integrals", save_integrals.empty() || save_integrals.back().empty()
                                               ? std::string("bantrisk.ans")
                                               : save_integrals.back());
    o.mask = checked_name("--mask", mask);
    if (mask) {
      o.mask_option = mask_spectra.value_or("dead") == "dead-low-high" ? 2 : 1;
      // CLI11 has already refused a form that is not one of the three.
      o.mask_format = mask_format ? mask_format_named(*mask_format).value_or(MaskFormat::columns)
                                  : mask_format_of(*mask);
    }
    o.summary = summary
                    ? std::optional(summary == "-" ? *summary : checked_name("--summary", *summary))
                    : std::nullopt;
    for (const std::string &picture : pictures) {
      o.pictures.push_back(checked_name("--picture", picture));
      if (!picture::format_of(picture))
        throw UsageError{"--picture: " + picture + " ends in neither .png nor .svg"};
    }
    o.quiet = quiet;

    return o;
  }
};

int usage_error(const std::string &what) {
  std::cerr << "bantrisk: " << shown_text(what) << "\nRun 'bantrisk --help' for usage.\n";
  return exit_usage;
}

// The usage or the version on standard output: 0, or 1 with the reason on standard error when
// it could not be written (a full disk, a closed pipe).
int shown_on_stdout(const std::string &text) {
  std::cout << text;
  if (std::cout.flush())
    return 0;
  std::cerr << "bantrisk: error writing standard output\n";
  return exit_fatal;
}

} // namespace

int bantrisk_main(int argc, char **argv) {
  std::ios::sync_with_stdio(false);
  if (argc <= 1) {
    // No arguments: the interactive dialogue, exactly as it always was.
    // Console lines are written in blocks unless a person watches them at a terminal; every
    // question flushes them.
    Console console(std::cin, std::cout, ::isatty(STDOUT_FILENO) != 0);
    if (!claim_check_folder(console))
      return exit_fatal;
    Io io(console);
    dataaccess::Session session;
    return bantrisk_nget(io, session, std::cerr);
  }

  CLI::App app("bantrisk", "bantrisk");
  app.set_help_flag("--help,-h", "This text.");
  app.set_version_flag("--version", std::string("bantrisk ") + std::string(program_version));
  app.require_subcommand(0, 1);
  CheckCommand check(app);
  try {
    app.parse(argc, argv);
    if (!check.app->parsed())
      throw UsageError{"nothing to do: give a command, --help or --version"};
    const CheckOptions options = check.options();
    return run_check(options, process_env, std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);
  } catch (const CLI::CallForHelp &) {
    return shown_on_stdout(std::string(usage_text) + check.app->help("bantrisk"));
  } catch (const CLI::CallForVersion &) {
    return shown_on_stdout("bantrisk " + std::string(program_version) + "\n");
  } catch (const CLI::ParseError &e) {
    return usage_error(e.what());
  } catch (const ProgramStop &stop) {
    // A command line refused (a UsageError), or any other end not told yet.
    if (stop.kind() == ProgramStop::Kind::usage)
      return usage_error(stop.message());
    std::cerr << "bantrisk: " << shown_text(stop.message()) << '\n';
    return stop.status();
  }
}

} // namespace bantrisk
