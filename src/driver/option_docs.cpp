// The help text, the manual page and the bash completion, all made from the table of options
// and the program's description below.
#include <algorithm>
#include <sstream>

#include "driver/options.hpp"
#include "driver/version.hpp"
#include "lib/check_defaults.hpp"
#include "lib/text.hpp"

namespace bantrisk {

const ProgramDoc &program_doc() {
  static const ProgramDoc doc = [] {
    const std::string results(default_results_file), integrals(default_integrals_file),
        mask(default_mask_file), list(default_spectrum_list);
    ProgramDoc d;
    d.summary = "bantrisk checks the detectors of a time-of-flight instrument after a run: the "
                "spectra and modules that counted nothing, and the modules and spectra whose "
                "counts are low or high against their neighbours.";
    d.usage = {
        {"bantrisk", "the interactive check: every choice is asked on the console"},
        {"bantrisk check [OPTIONS]", "the same check without a question, its choices from the "
                                     "options"},
        {"bantrisk -h, --help", "this text"},
        {"bantrisk -V, --version", "the program's name and version"},
    };
    d.description = {
        concat({"The check takes the total counts of every spectrum of a run (the spectrum "
                "integrals), by integrating the run's raw file or by reading back integrals "
                "saved by an earlier check. It reports the spectra with no counts, bank by bank "
                "the dead spectra and the dead modules, and the modules and spectra whose "
                "average counts are below or above given fractions of their bank's or module's "
                "average. Which module each spectrum belongs to comes from a spectra file, named "
                "for the run's number of spectra in the spectrum file list ",
                list, "."}),
        concat({"Every report line goes to the results file (", results,
                "). On request the check also saves the integrals (", integrals,
                "), writes a mask of the spectra that later analysis should leave out (", mask,
                " in the dialogue), a JSON summary and a picture of the modules."}),
        "Run without an argument, bantrisk asks every choice on the console; bantrisk check "
        "takes every choice from its options, never reads standard input, and shows the report "
        "lines and a few closing lines on standard output, warnings and errors on standard "
        "error.",
        "One of the text outputs (--results, --save-integrals, --mask, --summary) may be named "
        "-, standard output: it then receives that file's text alone, only once the check "
        "completed and every file is finished, and the report goes to standard error.",
    };
    d.environment = {
        {"ABC_DATA",
         concat({"the folder of the raw files of instrument ABC (", default_instrument,
                 "_DATA for the default instrument), used by --run unless --raw-dir is given. "
                 "The raw file's name is the value followed directly by the instrument, the run "
                 "number in five digits, a dot and the extension, so the value ends with its own "
                 "/: KRV_DATA=/data/runs/ gives /data/runs/KRV01234.RAW."})},
        {"Z_R", concat({"the folder of the spectrum file list ", list,
                        ", ending with /; unset, the list is looked for in the current "
                        "folder."})},
        {"BANTRISK_THREADS",
         "the number of threads (1 to 8) that read and decompress the run file's counts; unset "
         "or outside that range, one per hardware thread, at most 8."},
    };
    d.files = {
        {results, "the results file: every report line of the check."},
        {integrals, "the spectrum integrals, one line per spectrum, read back by --integrals "
                    "(or option 2 of the dialogue)."},
        {mask, "the dialogue's mask: a line for every spectrum, its number then -3 (left out) "
               "or 0 (kept)."},
        {list, "the spectrum file list: its number of lines, then lines of a number of spectra "
               "and the spectra file for runs with that many spectra."},
    };
    d.exit_status = {
        {"0", "the check completed, whatever it found unless --fail-on names it (the dialogue "
              "came to its end)"},
        {"1", "the check could not complete (a missing or unreadable input file, a spectra file "
              "for another number of spectra, a refused run file; one line on standard error "
              "says why and, where it can, which option solves it), or a file it was asked to "
              "write could not be written"},
        {"2", "the command line could not be used (one line says what is wrong; no file is "
              "touched); in the dialogue, the console input ended while a question waited"},
        {"3", "the check completed, wrote every output as for 0, and found something of a "
              "class --fail-on names (only with --fail-on)"},
    };
    d.examples = {
        {"KRV_DATA=/data/runs/ bantrisk check --run 1234 --summary check.json --mask check.xml "
         "--picture modules.png",
         "checks run 1234 from /data/runs/KRV01234.RAW, writing bantrisk.dat, a JSON summary, "
         "an xml mask of the dead spectra and a picture of the modules."},
        {"bantrisk check --integrals bantrisk.ans --quiet --summary -",
         "checks the integrals saved by an earlier check and writes only the JSON summary, on "
         "standard output."},
    };
    return d;
  }();
  return doc;
}

namespace {

// The option as the usage shows it: "--run N", "--save-integrals[=FILE]", "-q, --quiet".
std::string term_of(const OptionDef &d) {
  std::string term = d.short_name != 0 ? concat({"-", std::string(1, d.short_name), ", "}) : "";
  term += d.name;
  if (d.takes == Takes::value)
    term += concat({" ", d.value_name});
  else if (d.takes == Takes::optional)
    term += concat({"[=", d.value_name, "]"});
  return term;
}

// The groups of the table in their order of first appearance.
std::vector<std::string> groups_of(const std::vector<OptionDef> &table) {
  std::vector<std::string> groups;
  for (const OptionDef &d : table)
    if (std::find(groups.begin(), groups.end(), d.group) == groups.end())
      groups.push_back(d.group);
  return groups;
}

constexpr std::size_t text_column = 26;
constexpr std::size_t line_width = 80;

// `text` in lines of at most line_width characters, every line but the first indented to
// `indent`; the first line starts after `first` (which is padded to the indent).
std::string wrapped(const std::string &first, const std::string &text, std::size_t indent) {
  std::string out = first;
  std::size_t column = first.size();
  if (column + 1 >= indent && !first.empty()) {
    out += '\n';
    column = 0;
  }
  std::istringstream words(text);
  bool line_start = true;
  for (std::string word; words >> word;) {
    if (!line_start && column + 1 + word.size() > line_width) {
      out += '\n';
      column = 0;
      line_start = true;
    }
    if (line_start) {
      out += std::string(indent - std::min(indent, column), ' ');
      column = std::max(column, indent);
    } else {
      out += ' ';
      ++column;
    }
    out += word;
    column += word.size();
    line_start = false;
  }
  return out + '\n';
}

// Text for roff: backslashes and hyphens escaped, no line taken for a request.
std::string roff(std::string_view text) {
  std::string out;
  for (const char c : text) {
    if (c == '\\')
      out += "\\e";
    else if (c == '-')
      out += "\\-";
    else
      out += c;
  }
  if (!out.empty() && (out.front() == '.' || out.front() == '\''))
    out.insert(0, "\\&");
  return out;
}

std::string roff_option(const OptionDef &d) {
  std::string term =
      d.short_name != 0 ? concat({"\\fB\\-", std::string(1, d.short_name), "\\fR, "}) : "";
  term += concat({"\\fB", roff(d.name), "\\fR"});
  if (d.takes == Takes::value)
    term += concat({" \\fI", roff(d.value_name), "\\fR"});
  else if (d.takes == Takes::optional)
    term += concat({"[=\\fI", roff(d.value_name), "\\fR]"});
  return term;
}

std::string shell_words(const std::vector<std::string> &words) {
  return joined(words, " ");
}

} // namespace

std::string help_text() {
  const ProgramDoc &doc = program_doc();
  std::string out = wrapped("", doc.summary, 0) + "\nUsage:\n";
  for (const DocEntry &u : doc.usage)
    out += wrapped("  " + u.term, u.text, text_column + 2);
  out += "\n" + wrapped("",
                        "The options of check, a value following its option after a blank "
                        "or an = (--run 1234, --run=1234):",
                        0);
  const std::vector<OptionDef> &table = check_option_table();
  for (const std::string &group : groups_of(table)) {
    out += "\n" + group + ":\n";
    for (const OptionDef &d : table)
      if (d.group == group)
        out += wrapped("  " + term_of(d), d.help, text_column);
  }
  out += "\nEnvironment:\n";
  for (const DocEntry &e : doc.environment)
    out += wrapped("  " + e.term, e.text, text_column);
  out += "\nExit status:\n";
  for (const DocEntry &e : doc.exit_status)
    out += wrapped("  " + e.term, e.text, 5);
  return out;
}

std::string manual_page() {
  const ProgramDoc &doc = program_doc();
  std::string out = concat({".TH BANTRISK 1 \"\" \"bantrisk ", program_version,
                            "\" \"User Commands\"\n.SH NAME\nbantrisk \\- check the detectors of "
                            "a time\\-of\\-flight instrument after a run\n.SH SYNOPSIS\n"});
  for (const DocEntry &u : doc.usage)
    out += concat({".B ", roff(u.term), "\n.br\n"});
  out += ".SH DESCRIPTION\n";
  for (const std::string &p : doc.description)
    out += concat({".PP\n", roff(p), "\n"});
  out += ".SH OPTIONS\n";
  const std::vector<OptionDef> &table = check_option_table();
  for (const std::string &group : groups_of(table)) {
    out += concat({".SS ", roff(group), "\n"});
    for (const OptionDef &d : table)
      if (d.group == group)
        out += concat({".TP\n", roff_option(d), "\n", roff(d.help), ".\n"});
  }
  const auto section = [&out](std::string_view title, const std::vector<DocEntry> &entries) {
    out += concat({".SH ", title, "\n"});
    for (const DocEntry &e : entries)
      out += concat({".TP\n.B ", roff(e.term), "\n", roff(e.text), "\n"});
  };
  section("ENVIRONMENT", doc.environment);
  section("FILES", doc.files);
  section("EXIT STATUS", doc.exit_status);
  out += ".SH EXAMPLES\n";
  for (const DocEntry &e : doc.examples)
    out += concat({".PP\n", roff(e.text), "\n.PP\n.RS\n.nf\n", roff(e.term), "\n.fi\n.RE\n"});
  return out;
}

std::string bash_completion() {
  const std::vector<OptionDef> &table = check_option_table();
  std::vector<std::string> once, repeatable, nothing, files, folders, shorts;
  std::string choices;
  for (const OptionDef &d : table) {
    (d.repeatable ? repeatable : once).emplace_back(d.name);
    if (d.short_name != 0)
      shorts.push_back(concat({"-", std::string(1, d.short_name), ") word=", d.name, " ;;"}));
    if (d.takes == Takes::nothing)
      continue;
    switch (d.completes) {
    case Completes::nothing:
      nothing.emplace_back(d.name);
      break;
    case Completes::file:
      files.emplace_back(d.name);
      break;
    case Completes::folder:
      folders.emplace_back(d.name);
      break;
    case Completes::choice: {
      std::vector<std::string> words(d.choices.begin(), d.choices.end());
      choices += concat({"  ", d.name, ") COMPREPLY=($(compgen -W '", shell_words(words),
                         "' -- \"$cur\")); return 0 ;;\n"});
      break;
    }
    }
  }
  const auto alternatives = [](const std::vector<std::string> &names) {
    return joined(names, "|");
  };
  return concat({"# bash completion for bantrisk, made from its table of options.\n"
                 "_bantrisk() {\n"
                 "  local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} opt\n"
                 "  local i word check=0 used=' '\n"
                 "  for ((i = 1; i < COMP_CWORD; i++)); do\n"
                 "    word=${COMP_WORDS[i]}\n"
                 "    case $word in\n    ",
                 joined(shorts, "\n    "),
                 "\n    esac\n"
                 "    [[ $word == check ]] && check=1\n"
                 "    used+=\"${word%%=*} \"\n"
                 "  done\n"
                 "  ((check)) || {\n"
                 "    COMPREPLY=($(compgen -W 'check --help -h --version -V' -- \"$cur\"))\n"
                 "    return 0\n"
                 "  }\n"
                 "  # The option whose value is being typed: bash splits --mask=FILE at the =.\n"
                 "  opt=$prev\n"
                 "  if [[ $cur == = ]]; then\n"
                 "    cur=\n"
                 "  elif [[ $prev == = ]] && ((COMP_CWORD > 1)); then\n"
                 "    opt=${COMP_WORDS[COMP_CWORD-2]}\n"
                 "  elif [[ $opt == --save-integrals && $cur == -* ]]; then\n"
                 "    opt=\n"
                 "  fi\n"
                 "  case $opt in\n",
                 choices, "  ", alternatives(folders),
                 ") COMPREPLY=($(compgen -d -- \"$cur\")); return 0 ;;\n"
                 "  ",
                 alternatives(files),
                 ") COMPREPLY=($(compgen -f -- \"$cur\")); return 0 ;;\n"
                 "  ",
                 alternatives(nothing),
                 ") return 0 ;;\n"
                 "  esac\n"
                 "  local options='",
                 shell_words(repeatable),
                 "'\n"
                 "  for word in ",
                 shell_words(once),
                 "; do\n"
                 "    [[ $used == *\" $word \"* ]] || options+=\" $word\"\n"
                 "  done\n"
                 "  COMPREPLY=($(compgen -W \"$options\" -- \"$cur\"))\n"
                 "}\n"
                 "complete -o filenames -F _bantrisk bantrisk\n"});
}

} // namespace bantrisk
