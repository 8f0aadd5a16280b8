// The table of the options of `bantrisk check`, and the reading of a command line with it: CLI11
// reads the words, this file says what is wrong with them.
#include "driver/options.hpp"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <limits>
#include <map>
#include <optional>
#include <set>

#include "lib/check_defaults.hpp"
#include "lib/fields.hpp"
#include "lib/raw_location.hpp"
#include "lib/text.hpp"
#include "picture/picture.hpp"

namespace bantrisk {

namespace {

// A value as a message shows it: an empty one as ''.
std::string shown_value(const std::string &value) {
  return value.empty() ? "''" : value;
}

// A real option value: any finite single-precision value. A value that single precision would
// round to 0 (when it is not 0) or to infinity is refused rather than changed.
float single_real(std::string_view option, const std::string &text) {
  float value = 0.0f;
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  const bool whole = !text.empty() && ptr == end;
  if (whole && ec == std::errc::result_out_of_range) {
    // Which way it is out of range: the real of double precision (or strtod's 0 or HUGE_VAL).
    if (std::fabs(std::strtod(text.c_str(), nullptr)) < 1.0)
      throw UsageError{concat(
          {option, ": ", text, " is too close to 0 for single precision (it would become 0)"})};
    throw UsageError{concat({option, ": ", text, " is beyond single precision (at most ",
                             shortest_real(std::numeric_limits<float>::max()), ")"})};
  }
  if (!whole || ec != std::errc())
    throw UsageError{concat({option, ": ", shown_value(text), " is not a real number"})};
  if (!std::isfinite(value))
    throw UsageError{concat({option, ": ", text, " is not a finite real number"})};
  return value;
}

// A whole-number option value, in decimal whatever its leading zeros (a run number is often
// written 01234), within low..high.
std::int32_t whole_number(std::string_view option, const std::string &text, std::int32_t low,
                          std::int32_t high) {
  std::int32_t value = 0;
  const char *end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high)
    throw UsageError{concat({option, ": ", shown_value(text), " is not a whole number ",
                             exact_int(low), " to ", exact_int(high)})};
  return value;
}

BankLimits bank_limits_of(const std::string &text) {
  const std::string_view option = "--limits";
  const auto first = text.find(':');
  const auto second = first == std::string::npos ? first : text.find(':', first + 1);
  if (second == std::string::npos || text.find(':', second + 1) != std::string::npos)
    throw UsageError{concat({option, ": ", text, " is not of the form BANK:LOW:HIGH"})};
  return {whole_number("--limits bank", text.substr(0, first), 1, bank_slots),
          single_real(option, text.substr(first + 1, second - first - 1)),
          single_real(option, text.substr(second + 1))};
}

TofRange tof_range_of(const std::string &text) {
  const std::string_view option = "--tof-range";
  const auto colon = text.find(':');
  if (colon == std::string::npos || text.find(':', colon + 1) != std::string::npos)
    throw UsageError{concat({option, ": ", shown_value(text), " is not of the form T1:T2"})};
  const TofRange range{single_real(option, text.substr(0, colon)),
                       single_real(option, text.substr(colon + 1))};
  if (range.t1 > range.t2)
    throw UsageError{concat({option, ": ", shown_value(text), " begins after it ends"})};
  return range;
}

// File names are held without trailing blanks, so a name must not end with one.
std::string checked_name(std::string_view option, const std::string &name) {
  if (trimmed(name).size() != name.size() || name.empty())
    throw UsageError{concat({option, ": a file name must not be empty or end with a blank"})};
  return name;
}

// What is wrong with a three-character code of the raw file's name, if anything.
std::optional<std::string> code_fault(const std::string &code, bool letters_only) {
  if (code.size() != 3)
    return concat(
        {"has ", exact_int(static_cast<std::int64_t>(code.size())), " characters, not three"});
  for (const char ch : code) {
    const auto c = static_cast<unsigned char>(ch);
    if (c < 0x20 || c == 0x7F)
      return std::string("holds a control character");
    if (c >= 0x80)
      return std::string("holds a character outside ASCII");
    if (letters_only && !std::isalpha(c))
      return std::string("holds a character that is not a letter");
    if (c == ' ')
      return std::string("holds a blank");
    if (c == '/')
      return std::string("holds a /");
  }
  return std::nullopt;
}

std::string defaults_of_limits() {
  std::vector<std::string> limits;
  for (std::size_t b = 1; b <= static_cast<std::size_t>(bank_slots); ++b)
    limits.push_back(
        concat({exact_int(static_cast<std::int64_t>(b)), ":", shortest_real(default_low_limit[b]),
                ":", shortest_real(default_high_limit[b])}));
  return joined(limits, " ");
}

// A comma list of words of `known`, each once in the order first given.
std::vector<std::string> word_list(std::string_view option, const std::string &text,
                                   std::span<const std::string_view> known) {
  std::vector<std::string> words;
  std::size_t start = 0;
  while (true) {
    const std::size_t comma = text.find(',', start);
    const std::string word = text.substr(start, comma == std::string::npos ? comma : comma - start);
    if (std::find(known.begin(), known.end(), word) == known.end()) {
      std::vector<std::string> names(known.begin(), known.end());
      throw UsageError{concat({option, ": ", shown_value(word), " is not one of ",
                               joined(names, ", "), " (a comma list of them)"})};
    }
    if (std::find(words.begin(), words.end(), word) == words.end())
      words.push_back(word);
    if (comma == std::string::npos)
      return words;
    start = comma + 1;
  }
}

// The words of --mask-spectra and the reasons they stand for.
constexpr std::string_view mask_words[] = {"dead", "low-high", "modules", "varying",
                                           "dead-low-high"};
int mask_reasons_of(const std::string &text) {
  int reasons = 0;
  for (const std::string &word : word_list("--mask-spectra", text, mask_words))
    reasons |= word == "dead"       ? mask_dead
               : word == "low-high" ? mask_low_high
               : word == "modules"  ? mask_modules
               : word == "varying"  ? mask_varying
                                    : mask_dead | mask_low_high;
  return reasons;
}

using Store = std::function<void(CheckOptions &, const std::string &)>;

// An option that takes a value.
OptionDef valued(std::string_view name, std::string_view value_name, const std::string &group,
                 std::string help, Store store, Completes completes = Completes::nothing) {
  return {.name = name,
          .value_name = value_name,
          .takes = Takes::value,
          .group = group,
          .help = std::move(help),
          .completes = completes,
          .store = std::move(store)};
}

// An option that names a file, held in `field`.
template <typename Field>
OptionDef file_option(std::string_view name, const std::string &group, std::string help,
                      Field CheckOptions::*field) {
  return valued(
      name, "FILE", group, std::move(help),
      [name, field](CheckOptions &o, const std::string &v) { o.*field = checked_name(name, v); },
      Completes::file);
}

// An option whose value is a real, held in `field`.
OptionDef real_option(std::string_view name, const std::string &group, std::string help,
                      float CheckOptions::*field) {
  return valued(
      name, "X", group, std::move(help),
      [name, field](CheckOptions &o, const std::string &v) { o.*field = single_real(name, v); });
}

// An option whose value is one of the three-character codes of the raw file's name, held in
// `field`: the instrument (letters only) or the extension.
OptionDef code_option(std::string_view name, std::string_view value_name, const std::string &group,
                      std::string help, bool letters_only, std::string CheckOptions::*field) {
  return valued(name, value_name, group, std::move(help),
                [name, letters_only, field](CheckOptions &o, const std::string &v) {
                  if (const auto fault = code_fault(v, letters_only))
                    throw UsageError{concat({name, ": ", v, " ", *fault, "; it must be exactly ",
                                             letters_only ? "three letters"
                                                          : "three characters, neither blanks "
                                                            "nor /"})};
                  o.*field = v;
                });
}

// A flag, which sets `field`.
OptionDef flag(std::string_view name, char short_name, const std::string &group, std::string help,
               bool CheckOptions::*field) {
  return {.name = name,
          .short_name = short_name,
          .group = group,
          .help = std::move(help),
          .store = [field](CheckOptions &o, const std::string &) { o.*field = true; }};
}

// The table. Every store reads one value into its field; the rules between options are
// checked once all are read.
std::vector<OptionDef> make_table() {
  const std::string instrument(default_instrument);
  const std::string extension(default_extension);
  const std::string source = "Source (exactly one of --run, --run-file and --integrals)";
  const std::string map = "Detector map";
  const std::string checks = "Checks";
  const std::string outputs = "Outputs";
  const std::string other = "Messages";
  using O = CheckOptions;
  using V = const std::string &;
  std::vector<OptionDef> t;
  t.push_back(valued(
      "--run", "N", source,
      concat({"integrate run N (0 to ", exact_int(max_run_number),
              ") from its raw file, whose name is the raw-file folder, the instrument, N in five "
              "digits, a dot and the extension: with KRV_DATA=/data/runs/, run 1234 is "
              "/data/runs/KRV01234.",
              extension}),
      [](O &o, V v) { o.run = whole_number("--run", v, 0, max_run_number); }));
  t.push_back(code_option("--instrument", "ABC", source,
                          concat({"the three letters that begin the raw file's name and name the "
                                  "variable of its folder, ABC_DATA (default ",
                                  instrument, "); with --run"}),
                          true, &O::instrument));
  t.push_back(valued(
      "--raw-dir", "DIR", source,
      concat({"the folder of the raw files, a final / added when it has none (default: the value "
              "of ABC_DATA as it stands, ",
              raw_directory_variable(instrument), " for ", instrument, "); with --run"}),
      [](O &o, V v) {
        std::string dir = checked_name("--raw-dir", v);
        if (dir.back() != '/')
          dir += '/';
        if (dir.size() > static_cast<std::size_t>(max_raw_directory_length))
          throw UsageError{
              concat({"--raw-dir: a folder of ", exact_int(static_cast<std::int64_t>(dir.size())),
                      " characters is too long: at most ", exact_int(max_raw_directory_length),
                      " fit in the raw file name"})};
        o.raw_dir = dir;
      },
      Completes::folder));
  t.push_back(code_option("--extension", "EXT", source,
                          concat({"the three characters after the dot of the raw file's name "
                                  "(default ",
                                  extension, "); with --run"}),
                          false, &O::extension));
  t.push_back(file_option(
      "--run-file", source,
      "integrate the spectra of this run file (an HDF5 file), whatever its name", &O::run_file));
  t.push_back(file_option("--integrals", source,
                          concat({"check the spectrum integrals that an earlier check saved "
                                  "(with --save-integrals, or the dialogue's ",
                                  default_integrals_file, ") instead of integrating a run"}),
                          &O::integrals));
  t.push_back(valued("--max-spectrum", "N", source,
                     concat({"check spectra 1 to N only, N at most ", exact_int(max_spectrum_bound),
                             " (default 0: every spectrum); with --run or --run-file"}),
                     [](O &o, V v) {
                       o.max_spectrum = whole_number("--max-spectrum", v, 0, max_spectrum_bound);
                     }));
  t.push_back(valued("--tof-range", "T1:T2", source,
                     "integrate each spectrum over the time channels whose two boundaries lie "
                     "within T1 to T2 (the run's time of flight, in its unit), not over every "
                     "channel; the reference run of --reference too; with --run or --run-file",
                     [](O &o, V v) { o.tof_range = tof_range_of(v); }));

  t.push_back(file_option("--spectrum-list", map,
                          concat({"the list that names the spectra file for each number of "
                                  "spectra (default ",
                                  default_spectrum_list,
                                  " in the folder Z_R names, or in the current folder when Z_R "
                                  "is unset); a relative spectra-file name in it that is not in "
                                  "the current folder is read from beside the list"}),
                          &O::spectrum_list));
  t.push_back(file_option("--spectra-file", map,
                          "read the detector element of every spectrum from this spectra file; "
                          "no list is read",
                          &O::spectra_file));

  t.push_back(real_option("--low-fraction", checks,
                          concat({"a module is low when its average counts per spectrum are "
                                  "below X times its bank's average (default ",
                                  shortest_real(default_low_fraction), ")"}),
                          &O::low_fraction));
  t.push_back(real_option("--high-fraction", checks,
                          concat({"a module is high when its average is above X times its "
                                  "bank's average (default ",
                                  shortest_real(default_high_fraction), ")"}),
                          &O::high_fraction));
  t.push_back(valued("--limits", "BANK:LOW:HIGH", checks,
                     concat({"a spectrum of bank BANK (1 to 8) is low below LOW times its "
                             "module's average and high above HIGH times it; repeatable, a "
                             "later one for a bank winning (defaults ",
                             defaults_of_limits(), ")"}),
                     [](O &o, V v) { o.limits.push_back(bank_limits_of(v)); }));
  t.back().repeatable = true;
  t.push_back(valued(
      "--statistic", "WHICH", checks,
      "what a module's spectra and a bank's modules are measured against: mean, "
      "their average (the default), or median, the median of the spectra's "
      "counts and of the live modules' averages, which one hot module does not "
      "move",
      [](O &o, V v) { o.median = v == "median"; }, Completes::choice));
  t.back().choices = {"mean", "median"};
  t.push_back(valued("--significance", "K", checks,
                     "a spectrum or module found low or high stays so only when it also differs "
                     "from its reference by more than K error bars: K times the square root of "
                     "the reference for a spectrum, of the reference over the module's live "
                     "spectra for a module (default 0: no such test; 3.3 is usual)",
                     [](O &o, V v) {
                       o.significance = single_real("--significance", v);
                       if (o.significance < 0.0f)
                         throw UsageError{concat({"--significance: ", v, " is below 0"})};
                     }));
  t.push_back(file_option("--hard-mask", checks,
                          "a mask file (any of the three forms of --mask-format, told by its "
                          "name's ending) of spectra known to be bad: they are left out of every "
                          "average and search, as if the spectra file did not list them, and "
                          "are always in the mask written",
                          &O::hard_mask));
  t.push_back(file_option("--reference", checks,
                          "compare each spectrum with a reference run, an integrals file (as "
                          "--save-integrals writes it) or a run file of the same number of "
                          "spectra: its ratio to the reference, over the median of those ratios, "
                          "outside 1/V to V (--variation) varies; also reported are spectra "
                          "newly dead since the reference and those recovered",
                          &O::reference));
  t.push_back(valued("--variation", "V", checks,
                     concat({"the variation limit of --reference, above 1 (default ",
                             shortest_real(default_variation), ")"}),
                     [](O &o, V v) {
                       o.variation = single_real("--variation", v);
                       if (!(o.variation > 1.0f))
                         throw UsageError{concat({"--variation: ", v, " is not above 1"})};
                     }));
  t.push_back(valued(
      "--fail-on", "LIST", checks,
      concat(
          {"end with status 3, once every output is written, when the check "
           "finds any of these, a comma list: ",
           joined(std::vector<std::string>(std::begin(fail_classes), std::end(fail_classes)), ", "),
           " (any: each of the others); without this option a completed "
           "check ends with 0"}),
      [](O &o, V v) { o.fail_on = word_list("--fail-on", v, fail_classes); }));
  t.push_back(flag("--counts-per-spectrum", 0, checks,
                   "also report every module's and every bank's average counts per spectrum",
                   &O::counts_per_spectrum));

  t.push_back(file_option("--results", outputs,
                          concat({"the results file, which holds every line of the report "
                                  "(default ",
                                  default_results_file,
                                  "); - writes it on standard output, the report then going to "
                                  "standard error"}),
                          &O::results));
  t.push_back(valued(
      "--save-integrals", "FILE", outputs,
      concat({"save the spectrum integrals in FILE (default ", default_integrals_file,
              "), for a later check with --integrals: the number of spectra, then a line per "
              "spectrum, its number and its total counts; - writes them on standard output; "
              "without this option nothing is "
              "saved"}),
      [](O &o, V v) {
        o.save_integrals =
            v.empty() ? std::string(default_integrals_file) : checked_name("--save-integrals", v);
      },
      Completes::file));
  t.back().takes = Takes::optional;
  t.push_back(file_option("--mask", outputs,
                          "write a mask file: the numbers of the spectra that later analysis "
                          "should leave out, in the form of --mask-format; - writes it on standard "
                          "output; without this option no mask is written",
                          &O::mask));
  t.push_back(valued(
      "--mask-spectra", "WHICH", outputs,
      "the spectra the mask leaves out, a comma list of: dead, those without counts (the "
      "default); low-high, those found low or high; modules, every spectrum of a module found "
      "dead, low or high; varying, those varying against --reference or newly dead since it "
      "(dead-low-high is dead,low-high); spectra of --hard-mask are always left out",
      [](O &o, V v) { o.mask_option = mask_reasons_of(v); }));
  t.push_back(valued(
      "--mask-format", "FORM", outputs,
      "the mask's form; each holds spectrum numbers: columns, a line for every "
      "spectrum, its number then -3 (left out) or 0 (kept); xml, a "
      "detector-masking file listing the numbers left out; msk, those numbers as "
      "ranges such as 7-9 (default from FILE's ending: .xml xml, .msk msk, else "
      "columns; columns for -)",
      [](O &o, V v) { o.mask_format = mask_format_named(v).value_or(MaskFormat::columns); },
      Completes::choice));
  t.back().choices = {"columns", "xml", "msk"};
  t.push_back(valued(
      "--summary", "FILE", outputs,
      "write a JSON summary of what the check found; - writes it on standard output, the report "
      "then going to standard error",
      [](O &o, V v) { o.summary = v == "-" ? v : checked_name("--summary", v); }, Completes::file));
  t.push_back(valued(
      "--picture", "FILE", outputs,
      "draw every module and spectrum in FILE, a PNG or SVG picture as its name ends (.png, "
      ".svg); repeatable; never standard output",
      [](O &o, V v) {
        if (v == "-")
          throw UsageError{"--picture: a picture cannot go to standard output (-); name a file"};
        o.pictures.push_back(checked_name("--picture", v));
        if (!picture::format_of(v))
          throw UsageError{concat({"--picture: ", v, " ends in neither .png nor .svg"})};
      },
      Completes::file));
  t.back().repeatable = true;

  t.push_back(flag("--quiet", 'q', other,
                   "show nothing but errors: no report, warnings or progress (an output named - "
                   "still goes to standard output)",
                   &O::quiet));
  t.push_back({.name = "--help",
               .short_name = 'h',
               .group = other,
               .help = "show this text",
               .action = Action::help});
  t.push_back({.name = "--version",
               .short_name = 'V',
               .group = other,
               .help = "show the program's name and version",
               .action = Action::version});
  return t;
}

// The number of single-character edits (insert, delete, replace, swap two neighbours) that
// turn one name into the other.
std::size_t edit_distance(std::string_view a, std::string_view b) {
  std::vector<std::vector<std::size_t>> d(a.size() + 1, std::vector<std::size_t>(b.size() + 1));
  for (std::size_t i = 0; i <= a.size(); ++i)
    d[i][0] = i;
  for (std::size_t j = 0; j <= b.size(); ++j)
    d[0][j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i)
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
    }
  return d[a.size()][b.size()];
}

std::string_view without_dashes(std::string_view s) {
  while (!s.empty() && s.front() == '-')
    s.remove_prefix(1);
  return s;
}

// The known name nearest to a mistyped one: a few edits away, or the only name it begins.
std::optional<std::string> nearest(std::string_view typed, const std::vector<std::string> &names) {
  const std::string_view bare = without_dashes(typed);
  // One letter is a single edit away from every other: nothing is nearer than the rest.
  if (bare.size() < 2 || bare.size() > 64)
    return std::nullopt;
  std::optional<std::string> best;
  std::size_t best_distance = 0;
  std::vector<std::string> beginning;
  for (const std::string &name : names) {
    const std::string_view known = without_dashes(name);
    const std::size_t distance = edit_distance(bare, known);
    if (!best || distance < best_distance) {
      best = name;
      best_distance = distance;
    }
    if (bare.size() >= 3 && known.starts_with(bare))
      beginning.push_back(name);
  }
  if (beginning.size() == 1)
    return beginning.front();
  const std::size_t allowed = bare.size() <= 4 ? 1 : 2;
  if (best && best_distance <= allowed)
    return best;
  return std::nullopt;
}

std::vector<std::string> names_of(const std::vector<OptionDef> &table) {
  std::vector<std::string> names;
  for (const OptionDef &d : table) {
    names.emplace_back(d.name);
    if (d.short_name != 0)
      names.push_back(std::string("-") + d.short_name);
  }
  return names;
}

const OptionDef *find_option(const std::vector<OptionDef> &table, std::string_view name) {
  for (const OptionDef &d : table)
    if (d.name == name ||
        (d.short_name != 0 && name.size() == 2 && name[0] == '-' && name[1] == d.short_name))
      return &d;
  return nullptr;
}

// A word that CLI11 takes for an option rather than a value: anything beginning with a dash but
// "-" itself and a negative number ("-5", "-0.5").
bool read_as_option(std::string_view word) {
  return word.size() > 1 && word[0] == '-' && !std::isdigit(static_cast<unsigned char>(word[1]));
}

std::string unknown_option(std::string_view word, const std::vector<std::string> &names) {
  const auto near = nearest(word.substr(0, word.find('=')), names);
  return concat(
      {"unknown option ", word, near ? "; did you mean " : "", near ? *near : "", near ? "?" : ""});
}

struct Given {
  const OptionDef *def;
  std::string value;
  bool no_value = false; // an option that takes a value was given without one
};

// The rules between options, once every option is read.
void check_combination(const std::vector<Given> &given) {
  const auto has = [&given](std::string_view name) {
    return std::any_of(given.begin(), given.end(),
                       [name](const Given &g) { return g.def->name == name; });
  };
  const int sources =
      (has("--run") ? 1 : 0) + (has("--run-file") ? 1 : 0) + (has("--integrals") ? 1 : 0);
  if (sources != 1)
    throw UsageError{sources == 0 ? "check needs one of --run, --run-file or --integrals"
                                  : "check takes only one of --run, --run-file or --integrals"};
  for (const std::string_view name : {"--instrument", "--raw-dir", "--extension"})
    if (has(name) && !has("--run"))
      throw UsageError{concat({name, " needs --run"})};
  for (const std::string_view name : {"--max-spectrum", "--tof-range"})
    if (has(name) && has("--integrals"))
      throw UsageError{concat({name, " needs --run or --run-file"})};
  if (has("--spectrum-list") && has("--spectra-file"))
    throw UsageError{"--spectrum-list and --spectra-file exclude each other"};
  for (const std::string_view name : {"--mask-spectra", "--mask-format"})
    if (has(name) && !has("--mask"))
      throw UsageError{concat({name, " needs --mask"})};
  // Standard output takes one text.
  std::vector<std::string> to_stdout;
  for (const Given &g : given)
    for (const std::string_view output : {"--results", "--save-integrals", "--mask", "--summary"})
      if (g.value == "-" && g.def->name == output)
        to_stdout.emplace_back(output);
  if (to_stdout.size() > 1)
    throw UsageError{concat(
        {joined(to_stdout, " and "), " name standard output (-), which takes only one of them"})};
  if (has("--variation") && !has("--reference"))
    throw UsageError{"--variation needs --reference"};
}

// What CLI11 records for an option given without a value, and for a flag given without one;
// no typed value can be mistaken for it.
const std::string no_value_mark = "\x1f(no value)";

// The CLI11 name of a table row: "--run", or "-q{mark},--quiet{mark}" for a flag, whose bare use
// CLI11 then records as the mark and `--quiet=x` as "x".
std::string cli_name(const OptionDef &d) {
  const std::string mark = d.takes == Takes::nothing ? "{" + no_value_mark + "}" : "";
  std::string name;
  if (d.short_name != 0)
    name = concat({"-", std::string(1, d.short_name), mark, ","});
  return concat({name, d.name, mark});
}

// The word after an option given without its value, the reason CLI11 took none: a word read as
// an option, or nothing at the end of the line. The option stands alone there as a word, spelt
// as in the table or as its short name.
std::optional<std::string> word_after_bare(std::span<const std::string> args, const OptionDef &d) {
  const std::string short_form =
      d.short_name != 0 ? concat({"-", std::string(1, d.short_name)}) : std::string();
  for (std::size_t i = 0; i < args.size(); ++i)
    if (args[i] == d.name || (!short_form.empty() && args[i] == short_form)) {
      if (i + 1 == args.size())
        return std::nullopt;
      if (read_as_option(args[i + 1]))
        return args[i + 1];
    }
  return std::nullopt;
}

// A positional of `app` that keeps every word that is neither an option nor its value, in order.
CLI::Option *every_word(CLI::App &app, const std::string &name) {
  CLI::Option *words = app.add_option(name)->expected(0, -1)->allow_extra_args();
  words->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  return words;
}

// CLI11's reading of `args` (which it takes last word first). With nothing required or refused
// it is not expected to fail; if it does, `failure` is told, never CLI11's own text.
void read_words(CLI::App &app, std::span<const std::string> args, const char *failure) {
  try {
    app.parse(std::vector<std::string>(args.rbegin(), args.rend()));
  } catch (const CLI::Error &) {
    throw UsageError{failure};
  }
}

// The options of `check`, read by CLI11 from the table: every word is an option, with its value
// beside it (`--run=5`) or after it (`--run 5`). CLI11 is told to refuse nothing itself (extra
// words are kept, no option is required, every repeat is kept), so every refusal is made here,
// in the program's own words, from what CLI11 read and in the order it read it. Help and
// version win over anything else on the line.
ParsedCommandLine parse_check(std::span<const std::string> args) {
  const std::vector<OptionDef> &table = check_option_table();
  const std::vector<std::string> names = names_of(table);

  CLI::App app{"", "check"};
  app.set_help_flag();
  app.allow_extras();
  std::vector<std::pair<const CLI::Option *, const OptionDef *>> rows;
  for (const OptionDef &d : table) {
    CLI::Option *opt =
        d.takes == Takes::nothing
            ? app.add_flag(cli_name(d))
            : app.add_option(cli_name(d))->expected(0, 1)->default_str(no_value_mark);
    opt->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
    rows.emplace_back(opt, &d);
  }
  // Words that are neither an option nor its value, in their order among the options.
  CLI::Option *stray = every_word(app, "stray");
  read_words(app, args, "the options of check cannot be read");

  // Every option CLI11 read, in the order of the command line, with its value.
  std::vector<Given> given;
  std::map<const CLI::Option *, std::size_t> taken;
  std::optional<std::string> first_stray;
  const OptionDef *before_stray = nullptr;
  for (const CLI::Option *opt : app.parse_order()) {
    const std::size_t k = taken[opt]++;
    const std::string value = k < opt->results().size() ? opt->results()[k] : std::string();
    if (opt == stray) {
      if (!first_stray) {
        first_stray = value;
        before_stray = given.empty() ? nullptr : given.back().def;
      }
      continue;
    }
    const auto row =
        std::find_if(rows.begin(), rows.end(), [opt](const auto &r) { return r.first == opt; });
    if (row == rows.end())
      continue;
    const OptionDef *def = row->second;
    if (def->action == Action::help)
      return {Request::help, {}};
    if (def->action == Action::version)
      return {Request::version, {}};
    const bool bare = value == no_value_mark;
    given.push_back({def, bare ? std::string() : value, bare && def->takes == Takes::value});
  }

  // Each option as it stands: its value, a repeat, a choice.
  for (std::size_t i = 0; i < given.size(); ++i) {
    const Given &g = given[i];
    const OptionDef *def = g.def;
    if (def->takes == Takes::nothing && !g.value.empty())
      throw UsageError{concat({def->name, " takes no value: ", def->name, "=", g.value})};
    if (g.no_value) {
      const std::string usage = concat({def->name, " ", def->value_name});
      const auto next = word_after_bare(args, *def);
      if (!next)
        throw UsageError{concat({def->name, " needs a value: ", usage})};
      throw UsageError{
          concat({def->name, " needs a value (", usage, "), but ", *next,
                  " is an option; for a value of that name write ", def->name, "=", *next})};
    }
    if (!def->repeatable)
      for (std::size_t j = 0; j < i; ++j)
        if (given[j].def == def)
          throw UsageError{concat({def->name, " is given twice; give it once"})};
    if (!def->choices.empty() &&
        std::find(def->choices.begin(), def->choices.end(), g.value) == def->choices.end()) {
      std::vector<std::string> choices(def->choices.begin(), def->choices.end());
      throw UsageError{concat(
          {def->name, ": ", shown_value(g.value), " is not one of ", joined(choices, ", ")})};
    }
  }

  // Words CLI11 could not place: an unknown option, or a word that is no option's value.
  // A word "--" that is no option's value is the end of the options, which CLI11 takes and drops.
  if (std::find(args.begin(), args.end(), "--") != args.end())
    throw UsageError{"unexpected argument --: check takes only options"};
  const std::vector<std::string> extras = app.remaining();
  if (!extras.empty())
    throw UsageError{unknown_option(extras.front(), names)};
  if (first_stray && read_as_option(*first_stray))
    throw UsageError{unknown_option(*first_stray, names)}; // "---run": no name CLI11 reads
  if (first_stray) {
    // Right after a flag, the word was most likely meant as its value.
    const bool after_flag = before_stray != nullptr && before_stray->takes == Takes::nothing;
    throw UsageError{
        concat({"unexpected argument ", shown_value(*first_stray), after_flag ? " (" : "",
                after_flag ? before_stray->name : "", after_flag ? " takes no value)" : ""})};
  }

  check_combination(given);
  ParsedCommandLine parsed{Request::check, {}};
  CheckOptions &o = parsed.options;
  bool format_given = false;
  for (const Given &g : given) {
    g.def->store(o, g.value);
    format_given = format_given || g.def->name == "--mask-format";
  }
  // Without --mask-format the mask's form follows its name.
  if (o.mask && !format_given)
    o.mask_format = mask_format_of(*o.mask);
  return parsed;
}

// The words before a command: help and version, read by CLI11; anything else is refused with
// what was most likely meant.
ParsedCommandLine parse_top(std::span<const std::string> args) {
  const std::vector<OptionDef> &table = check_option_table();
  CLI::App app{"", "bantrisk"};
  app.set_help_flag();
  app.allow_extras();
  CLI::Option *help =
      app.add_flag("-h,--help")->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI::Option *version =
      app.add_flag("-V,--version")->multi_option_policy(CLI::MultiOptionPolicy::TakeAll);
  CLI::Option *words = every_word(app, "word");
  read_words(app, args, "the command line cannot be read");
  for (const CLI::Option *opt : app.parse_order()) {
    if (opt == help)
      return {Request::help, {}};
    if (opt == version)
      return {Request::version, {}};
  }
  const std::vector<std::string> extras = app.remaining();
  if (!extras.empty()) {
    const std::string &first = extras.front();
    const std::string name = first.substr(0, first.find('='));
    if (const OptionDef *def = find_option(table, name); def)
      throw UsageError{
          concat({def->name, " is an option of check: bantrisk check ", def->name, " ..."})};
    // A mistyped option of check, given before the command, is shown in its place.
    if (const auto near = nearest(name, names_of(table));
        near && *near != "--help" && *near != "-h" && *near != "--version" && *near != "-V")
      throw UsageError{concat({"unknown option ", first, "; did you mean check ", *near, "?"})};
    throw UsageError{unknown_option(first, {"--help", "-h", "--version", "-V"})};
  }
  const std::string first = words->results().empty() ? std::string() : words->results().front();
  const auto near = nearest(first, {"check"});
  throw UsageError{concat({"unknown command ", shown_value(first),
                           near ? "; did you mean check?" : "; the command is check"})};
}

} // namespace

const std::vector<OptionDef> &check_option_table() {
  static const std::vector<OptionDef> table = make_table();
  return table;
}

ParsedCommandLine parse_command_line(std::span<const std::string> args) {
  if (args.empty())
    return {Request::dialogue, {}};
  // The command is the first word, so that a value spelt "check" is never taken for it.
  if (args.front() == "check")
    return parse_check(args.subspan(1));
  return parse_top(args);
}

} // namespace bantrisk
