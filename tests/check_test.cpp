// `bantrisk check` run as a script would run it: against the dialogue's end-to-end cases (the
// files it writes must be the dialogue's, byte for byte, and its summary valid against the
// schema), a table of good and bad command lines, the JSON summary of a known run, the xml and
// msk masks read back, and the program installed as a user installs it.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <functional>
#include <limits>
#include <nlohmann/json.hpp>
#include <regex>
#include <set>
#include <sstream>
#include <vector>

#include "driver/options.hpp"
#include "driver/version.hpp"
#include "lib/fields.hpp"
#include "lib/text.hpp"
#include "program_runner.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

std::string check_command(const std::string &args) {
  return shell_quoted(BANTRISK_BINARY) + " check " + args;
}

// What is wrong with a JSON summary against docs/summary.schema.json: a line per fault, or
// nothing.
std::string schema_faults(const fs::path &summary) {
  const fs::path source = tests_root.parent_path();
  const std::string command =
      "/usr/bin/python3 " + shell_quoted((tests_root / "validate_summary.py").string()) + " " +
      shell_quoted((source / "docs" / "summary.schema.json").string()) + " " +
      shell_quoted(fs::absolute(summary).string()) + " > .schema 2>&1";
  const int status = std::system(command.c_str());
  const std::string faults = read_file(".schema");
  return status == 0 ? faults : "validator failed: " + faults;
}

int lines_in(const std::string &text) {
  return static_cast<int>(std::count(text.begin(), text.end(), '\n'));
}

// The spectra a columns mask marks with -3.
std::set<int> columns_masked(const std::string &text) {
  std::set<int> masked;
  std::istringstream in(text);
  for (int s = 0, value = 0; in >> s >> value;)
    if (value == -3)
      masked.insert(s);
  return masked;
}

// "3,7-9" or "3 7-9" as spectrum numbers.
std::set<int> ranges_masked(const std::string &text) {
  std::set<int> masked;
  static const std::regex range(R"((\d+)(?:-(\d+))?)");
  for (auto it = std::sregex_iterator(text.begin(), text.end(), range);
       it != std::sregex_iterator(); ++it) {
    const int first = std::stoi((*it)[1]);
    const int last = (*it)[2].matched ? std::stoi((*it)[2]) : first;
    EXPECT_LT(first, last + ((*it)[2].matched ? 0 : 1)) << "a range a-b has a < b";
    for (int s = first; s <= last; ++s)
      masked.insert(s);
  }
  return masked;
}

// The ids of an xml mask; the file must have exactly the expected frame around them.
std::set<int> xml_masked(const std::string &text) {
  static const std::regex frame(R"(<\?xml version="1\.0"\?>\s*<detector-masking>\s*<group>\s*)"
                                R"(<ids>([0-9,\-]*)</ids>\s*</group>\s*</detector-masking>\s*)");
  std::smatch m;
  if (!std::regex_match(text, m, frame)) {
    ADD_FAILURE() << "not a detector-masking file:\n" << text;
    return {};
  }
  const std::string ids = m[1];
  EXPECT_EQ(ids.find(",,"), std::string::npos);
  return ranges_masked(ids);
}

// The body of an msk mask after its comment line; every line within 80 characters.
std::set<int> msk_masked(const std::string &text, const std::string &source) {
  std::istringstream in(text);
  std::string first, body, line;
  std::getline(in, first);
  EXPECT_EQ(first.rfind("# bantrisk", 0), 0U) << first;
  EXPECT_NE(first.find(source), std::string::npos) << first;
  while (std::getline(in, line)) {
    EXPECT_LE(line.size(), 80U) << line;
    EXPECT_EQ(line.find_first_not_of("0123456789- "), std::string::npos) << line;
    body += line + "\n";
  }
  return ranges_masked(body);
}

// Every file under the scratch folder (but the console and error captures) with its bytes.
std::vector<std::pair<std::string, std::string>> folder_contents(const ScratchDir &scratch) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto &entry : fs::recursive_directory_iterator(scratch.path())) {
    const std::string name = fs::relative(entry.path(), scratch.path()).string();
    if (name != ".console" && name != ".errors")
      files.emplace_back(name, entry.is_regular_file() ? read_file(entry.path()) : "");
  }
  std::sort(files.begin(), files.end());
  return files;
}

// Every end-to-end case of the dialogue that a check can stand for, with the options equivalent
// to its answers: the files it leaves must be the case's expected files.
struct Equivalent {
  const char *name;
  const char *args;
  int status;
  const char *message; // part of the one error line, for status 1
};

const Equivalent equivalents[] = {
    {"typical_run_option1",
     "--run 42 --counts-per-spectrum --save-integrals --mask bantrisk.mask "
     "--mask-spectra dead-low-high",
     0, ""},
    {"option2_reads_back_integrals", "--integrals bantrisk.ans", 0, ""},
    {"missing_raw_file", "--run 7", 1, "/raw/KRV00007.RAW"},
    {"missing_list_stop", "--run 42", 1, "/nolist/specfile.dat; name it with --spectrum-list"},
    {"raw_file_not_a_run", "--run 00042", 1, "not an HDF5"},
    {"spectra_count_mismatch", "--run 42", 1, "spectra.dat (named in "},
    {"spectra_file_bad_entry", "--run 42", 1, "Error reading spectra file"},
    {"unreadable_integrals_file", "--integrals short.ans", 1, "short.ans"},
    {"menu_refusals_missing_integrals", "--integrals none.ans", 1, "none.ans"},
};

class CheckEquivalence : public ::testing::TestWithParam<Equivalent> {};

TEST_P(CheckEquivalence, WritesTheDialoguesFiles) {
  const Equivalent &c = GetParam();
  const fs::path dir = tests_root / "e2e" / c.name;
  ScratchDir scratch;
  if (fs::is_directory(dir / "input"))
    fs::copy(dir / "input", scratch.path(), fs::copy_options::recursive);
  // The outputs of an earlier check, which only a completed check replaces.
  const std::string earlier = "the results of an earlier check\n";
  for (const char *file : {"bantrisk.dat", "bantrisk.ans", "bantrisk.mask"})
    if (!fs::exists(file))
      write_file(file, earlier);
  const std::vector<std::pair<std::string, std::string>> before = folder_contents(scratch);
  EXPECT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   check_command(std::string(c.args) + " --summary summary.json")),
            c.status)
      << read_file(".errors");
  if (c.status == 0) {
    expect_files_as(dir / "expected" / "files", scratch);
    EXPECT_EQ(schema_faults("summary.json"), "");
  } else {
    EXPECT_EQ(folder_contents(scratch), before) << "a check that fails touches no file";
  }

  const std::string errors = read_file(".errors");
  const std::string console = read_file(".console");
  if (c.status == 0) {
    EXPECT_EQ(errors, "");
    // The console shows the report lines, those of the results file, then the summary.
    const std::string results = read_file("bantrisk.dat");
    EXPECT_EQ(console.substr(0, results.size()), results);
    EXPECT_NE(console.find("\n Files written:  " + scratch.str() + "/bantrisk.dat"),
              std::string::npos)
        << console;
    EXPECT_EQ(console.find("Give "), std::string::npos) << "no question is shown";
  } else {
    // Warnings may come first; the last line tells why the check could not complete.
    std::istringstream lines(errors);
    std::string line, last;
    while (std::getline(lines, line)) {
      EXPECT_EQ(line.rfind("bantrisk: ", 0), 0U) << errors;
      last = line;
    }
    EXPECT_NE(last.find(c.message), std::string::npos) << errors;
  }
}

INSTANTIATE_TEST_SUITE_P(Cases, CheckEquivalence, ::testing::ValuesIn(equivalents),
                         [](const auto &info) { return std::string(info.param.name); });

// Command lines: what they print, their status, and that a bad one touches no file.
struct CommandLine {
  const char *args; // after the program's name
  int status;
  const char *shows; // part of standard output (status 0) or of the first error line
};

const CommandLine command_lines[] = {
    {"--help", 0, "--mask-format FORM"},
    {"-h", 0, "bantrisk check [OPTIONS]"},
    {"check --help", 0, "--counts-per-spectrum"},
    {"check --run 1 -h --bogus", 0, "\nExit status:\n  0  the check completed"},
    {"--bogus", 2, "bantrisk: unknown option --bogus\n"},
    {"frobnicate", 2, "bantrisk: unknown command frobnicate; the command is check\n"},
    {"chekc", 2, "bantrisk: unknown command chekc; did you mean check?\n"},
    {"-q", 2, "bantrisk: --quiet is an option of check: bantrisk check --quiet ...\n"},
    {"check --rnu 1241", 2, "bantrisk: unknown option --rnu; did you mean --run?\n"},
    {"check --run 1 1241", 2, "bantrisk: unexpected argument 1241\n"},
    {"check -q --run 1 --quiet", 2, "bantrisk: --quiet is given twice; give it once\n"},
    {"check --run 1 --counts-per-spectrum --counts-per-spectrum=0", 2,
     "bantrisk: --counts-per-spectrum takes no value: --counts-per-spectrum=0\n"},
    {"check --run 1 --mask --results", 2,
     "bantrisk: --mask needs a value (--mask FILE), but "
     "--results is an option; for a value of that name "
     "write --mask=--results\n"},
    {"check --run 1 --extension \"$(printf 'R\\nW')\"", 2,
     "bantrisk: --extension: R\\nW holds a control character; it must be exactly three "
     "characters, neither blanks nor /\n"},
    {"check", 2, "one of --run, --run-file or --integrals"},
    {"check --run 1 --integrals a.ans", 2, "only one of"},
    {"check --run -1", 2, "--run"},
    {"check --run 100000", 2, "--run"},
    {"check --run 12x", 2, "--run"},
    {"check --run 1 --run 2", 2, "--run"},
    {"check --run 0x10", 2, "--run"},
    {"check --run 1 --instrument KR", 2, "three letters"},
    {"check --run 1 --instrument K1V", 2, "three letters"},
    {"check --integrals a.ans --instrument KRV", 2, "--instrument needs --run"},
    {"check --run 1 --extension RA", 2, "three characters"},
    {"check --run 1 --raw-dir "
     "/a/folder/whose/name/is/much/too/long/for/the/raw/file/name/of/eighty/chars",
     2, "too long"},
    {"check --integrals a.ans --max-spectrum 5", 2, "--max-spectrum needs"},
    {"check --run 1 --max-spectrum 10001", 2, "--max-spectrum"},
    {"check --run 1 --spectrum-list a --spectra-file b", 2, "exclude each other"},
    {"check --run 1 --low-fraction 1E39", 2, "single precision"},
    {"check --run 1 --high-fraction nan", 2, "nan is not a finite real number"},
    {"check --run 1 --limits 9:0.1:2", 2, "--limits bank: 9 is not a whole number 1 to 8"},
    {"check --run 1 --limits 1:0.1", 2, "BANK:LOW:HIGH"},
    {"check --run 1 --limits 1:0.1:x", 2, "x is not a real"},
    {"check --run 1 --mask-spectra dead", 2, "needs --mask"},
    {"check --run 1 --mask m --mask-format pdf", 2, "--mask-format"},
    {"check --run 1 --mask-spectra all --mask m", 2, "--mask-spectra"},
    {"check --run 1 --mask bantrisk.dat", 2, "--mask names the same file as --results"},
    {"check --run-file r.nxs --results ./r.nxs", 2, "replace the input file of --run-file"},
    {"check --run 1 --summary ''", 2, "--summary"},
    {"check --run 1 --picture modules.pdf", 2,
     "--picture: modules.pdf ends in neither .png nor .svg"},
    {"check --run 1 --picture m.png --picture ./m.png", 2,
     "--picture names the same file as --picture"},
    {"check --integrals a.svg --picture a.svg", 2, "would replace the input file of --integrals"},
    {"check --run 1 --summary - --quiet --results /dev/stdout", 2,
     "--results names standard output"},
    {"check --run 1 --mask .console", 2, "--mask names standard output"},
    {"check --run 1 stray", 2, "stray"},
    {"check --run 1 --results - --mask -", 2,
     "bantrisk: --results and --mask name standard output (-), which takes only one of them\n"},
    {"check --run 1 --save-integrals=- --summary - --results -", 2,
     "bantrisk: --save-integrals and --summary and --results name standard output (-), which "
     "takes only one of them\n"},
    {"check --run 1 --picture -", 2,
     "bantrisk: --picture: a picture cannot go to standard output (-); name a file\n"},
    {"--help", 0, "\n  3  the check completed, wrote every output as for 0, and found"},
    {"--help", 0, "number in five digits"},
};

class CheckCommandLine : public ::testing::TestWithParam<CommandLine> {};

TEST_P(CheckCommandLine, StatusOutputAndNoFileTouched) {
  const CommandLine &c = GetParam();
  ScratchDir scratch;
  write_file("r.nxs", "a run file\n");
  EXPECT_EQ(run_in(scratch, "", shell_quoted(BANTRISK_BINARY) + " " + c.args), c.status);
  const std::string out = read_file(".console");
  const std::string errors = read_file(".errors");
  if (c.status == 0) {
    EXPECT_NE(out.find(c.shows), std::string::npos) << out;
    EXPECT_EQ(errors, "");
  } else {
    EXPECT_EQ(out, "");
    EXPECT_EQ(lines_in(errors), 2) << errors;
    // The first line, with its line end: the message is one line, and ends where it should.
    EXPECT_NE(errors.substr(0, errors.find('\n') + 1).find(c.shows), std::string::npos) << errors;
    EXPECT_NE(errors.find("\nRun 'bantrisk --help' for usage.\n"), std::string::npos) << errors;
  }
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(scratch.path()))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".console", ".errors", "r.nxs"}));
}

INSTANTIATE_TEST_SUITE_P(Table, CheckCommandLine, ::testing::ValuesIn(command_lines));

TEST(CheckCommandLine, VersionIsTheProjects) {
  ScratchDir scratch;
  for (const char *option : {" --version", " -V", " check --version", " check --run 1 -V"}) {
    EXPECT_EQ(run_in(scratch, "", shell_quoted(BANTRISK_BINARY) + option), 0) << option;
    EXPECT_EQ(read_file(".console"), "bantrisk " + std::string(bantrisk::program_version) + "\n")
        << option;
  }
  // Neither the version nor the usage that cannot be written passes for shown.
  for (const char *option : {" --version", " --help"}) {
    EXPECT_EQ(
        run_in(scratch, "",
               "sh -c " + shell_quoted(shell_quoted(BANTRISK_BINARY) + option + " >/dev/full")),
        1);
    EXPECT_EQ(read_file(".errors"), "bantrisk: error writing standard output\n") << option;
  }
}

std::vector<std::string> words(std::initializer_list<const char *> list) {
  return {list.begin(), list.end()};
}

// The command line read in-process: the message of every refusal, exactly, and the value every
// accepted form gives.
TEST(CheckOptionsParse, RefusalsSayWhatIsWrongInOneLine) {
  const struct {
    std::vector<std::string> args;
    const char *message;
  } cases[] = {
      {words({"check", "--run", "1", "--mask-s", "dead", "--mask", "m"}),
       "unknown option --mask-s; did you mean --mask-spectra?"},
      {words({"check", "--run", "1", "---run"}), "unknown option ---run; did you mean --run?"},
      {words({"check", "--Quiet", "--run", "1"}), "unknown option --Quiet; did you mean --quiet?"},
      {words({"check", "--run", "1", "--frobnicate"}), "unknown option --frobnicate"},
      {words({"--rnu", "5"}), "unknown option --rnu; did you mean check --run?"},
      {words({"check", "--run", "1", "--"}), "unexpected argument --: check takes only options"},
      {words({"check", "--run", "1", ""}), "unexpected argument ''"},
      {words({"check", "--run", "1", "-q", "5"}), "unexpected argument 5 (--quiet takes no value)"},
      {words({"check", "--run", "1", "--mask"}), "--mask needs a value: --mask FILE"},
      {words({"check", "--run", "-q"}), "--run needs a value (--run N), but -q is an option; for "
                                        "a value of that name write --run=-q"},
      {words({"check", "--run", "1", "--picture", "a.png", "--picture", "a.svg", "--run", "2"}),
       "--run is given twice; give it once"},
      {words({"check", "--run", "1", "--save-integrals", "--save-integrals=b.ans"}),
       "--save-integrals is given twice; give it once"},
      {words({"check", "--run", "1", "--quiet=yes"}), "--quiet takes no value: --quiet=yes"},
      {words({"check", "--run", "1", "--mask", "m", "--mask-format", "pdf"}),
       "--mask-format: pdf is not one of columns, xml, msk"},
      {words({"check", "--run", "1", "--low-fraction", "1e-50"}),
       "--low-fraction: 1e-50 is too close to 0 for single precision (it would become 0)"},
      {words({"check", "--run", "1", "--high-fraction", "3.40282357e38"}),
       "--high-fraction: 3.40282357e38 is beyond single precision (at most 3.4028235e+38)"},
      {words({"check", "--run", "1", "--limits", "2:0.1:1e39"}),
       "--limits: 1e39 is beyond single precision (at most 3.4028235e+38)"},
      {words({"check", "--run", "1", "--low-fraction", "inf"}),
       "--low-fraction: inf is not a finite real number"},
      {words({"check", "--run", "1", "--low-fraction", "+0.5"}),
       "--low-fraction: +0.5 is not a real number"},
      {words({"check", "--run", "1", "--extension", "RAWX"}),
       "--extension: RAWX has 4 characters, not three; it must be exactly three characters, "
       "neither blanks nor /"},
      {words({"check", "--run", "1", "--extension", "R W"}),
       "--extension: R W holds a blank; it must be exactly three characters, neither blanks nor "
       "/"},
      {words({"check", "--run", "1", "-qx"}), "unknown option -x"},
      {words({"check", "--run", "1", "--mask", "--", "m"}),
       "--mask needs a value (--mask FILE), but -- is an option; for a value of that name write "
       "--mask=--"},
      {words({"check", "--run", "1", "--bogus", "-q", "-q"}), "--quiet is given twice; give it once"},
      {words({"check", "--run", "1", "--mask", "check", "--masc", "x"}),
       "unknown option --masc; did you mean --mask?"},
      {words({"check", "--run", "1", "--limits"}), "--limits needs a value: --limits BANK:LOW:HIGH"},
      {words({"check", "--run", "1", "--spectra-file", "a\nb", "--spectra-file", "c"}),
       "--spectra-file is given twice; give it once"},
      {words({"check", "--run", "1", "--instrument", "K\xc3\xa9"}),
       "--instrument: K\xc3\xa9 holds a character outside ASCII; it must be exactly three "
       "letters"},
  };
  for (const auto &c : cases) {
    std::string message = "(accepted)";
    try {
      bantrisk::parse_command_line(c.args);
    } catch (const bantrisk::UsageError &e) {
      message = e.message();
    }
    EXPECT_EQ(message, c.message) << bantrisk::joined(c.args, " ");
  }
}

TEST(CheckOptionsParse, EveryFormOfAValue) {
  using bantrisk::CheckOptions;
  using bantrisk::MaskFormat;
  const auto parsed = [](std::vector<std::string> args) {
    args.insert(args.begin(), {"check", "--integrals", "a.ans"});
    return bantrisk::parse_command_line(args).options;
  };
  const float largest = std::numeric_limits<float>::max();
  const struct {
    std::vector<std::string> args;
    std::function<bool(const CheckOptions &)> holds;
  } cases[] = {
      {words({"--low-fraction", "3.4028235e38"}),
       [&](const CheckOptions &o) { return o.low_fraction == largest; }},
      {words({"--low-fraction=-3.4028235e38"}),
       [&](const CheckOptions &o) { return o.low_fraction == -largest; }},
      {words({"--high-fraction", "1e-45"}),
       [](const CheckOptions &o) {
         return o.high_fraction == std::numeric_limits<float>::denorm_min();
       }},
      {words({"--low-fraction", "-0"}), [](const CheckOptions &o) { return o.low_fraction == 0; }},
      {words({"--low-fraction", "-0.5"}),
       [](const CheckOptions &o) { return o.low_fraction == -0.5f; }},
      {words({"--limits", "8:0.1:2", "--limits=8:.2:3e0"}),
       [](const CheckOptions &o) {
         return o.limits.size() == 2 && o.limits[1].bank == 8 && o.limits[1].low == 0.2f &&
                o.limits[1].high == 3.0f;
       }},
      {words({"--save-integrals"}),
       [](const CheckOptions &o) { return o.save_integrals == "bantrisk.ans"; }},
      {words({"--save-integrals="}),
       [](const CheckOptions &o) { return o.save_integrals == "bantrisk.ans"; }},
      {words({"--save-integrals", "b.ans", "-q"}),
       [](const CheckOptions &o) { return o.save_integrals == "b.ans" && o.quiet; }},
      {words({"--save-integrals", "--quiet"}),
       [](const CheckOptions &o) { return o.save_integrals == "bantrisk.ans" && o.quiet; }},
      {words({"--save-integrals=--quiet"}),
       [](const CheckOptions &o) { return o.save_integrals == "--quiet" && !o.quiet; }},
      {words({"--mask=--results"}),
       [](const CheckOptions &o) { return o.mask == "--results" && o.results == "bantrisk.dat"; }},
      {words({"--mask-format", "xml", "--mask", "m.txt"}),
       [](const CheckOptions &o) { return o.mask_format == MaskFormat::xml; }},
      {words({"--mask", "m.msk", "--mask-spectra=dead-low-high"}),
       [](const CheckOptions &o) {
         return o.mask_format == MaskFormat::msk &&
                o.mask_option == (bantrisk::mask_dead | bantrisk::mask_low_high);
       }},
      {words({"--mask", "m", "--mask-spectra", "varying,low-high,varying"}),
       [](const CheckOptions &o) {
         return o.mask_option == (bantrisk::mask_low_high | bantrisk::mask_varying);
       }},
      {words({"--statistic=median", "--significance", "3.3", "--fail-on", "any,varying"}),
       [](const CheckOptions &o) {
         return o.median && o.significance == 3.3f &&
                o.fail_on == std::vector<std::string>{"any", "varying"};
       }},
      {words({"--summary", "-"}), [](const CheckOptions &o) { return o.summary == "-"; }},
      {words({"--results", "-", "--save-integrals", "i.ans", "--mask=-x.xml"}),
       [](const CheckOptions &o) {
         return o.results == "-" && o.save_integrals == "i.ans" && o.mask == "-x.xml" &&
                o.mask_format == MaskFormat::xml;
       }},
      {words({"--save-integrals", "-", "--mask", "check"}),
       [](const CheckOptions &o) { return o.save_integrals == "-" && o.mask == "check"; }},
      {words({"--picture", "a.png", "--picture=b.SVG"}),
       [](const CheckOptions &o) {
         return o.pictures == words({"a.png", "b.SVG"});
       }},
  };
  for (const auto &c : cases) {
    try {
      EXPECT_TRUE(c.holds(parsed(c.args))) << bantrisk::joined(c.args, " ");
    } catch (const bantrisk::UsageError &e) {
      ADD_FAILURE() << bantrisk::joined(c.args, " ") << ": " << e.message();
    }
  }
}

// A check holds the folders it writes in, as the dialogue holds its folder: a second check
// there ends at once and touches nothing.
TEST(CheckCommandLine, FolderHeldByAnotherCheck) {
  ScratchDir scratch;
  fs::create_directory("out");
  EXPECT_EQ(
      run_in(scratch, "", "flock out " + check_command("--integrals a.ans --results out/r.dat")),
      1);
  EXPECT_EQ(read_file(".errors"),
            "bantrisk: another check is running in " + scratch.str() + "/out\n");
  EXPECT_TRUE(fs::is_empty("out"));
}

// The summary of the twelve-spectrum run, whose report the typical case shows: module 1E1 has
// spectra 1-4 (200 counts per live spectrum, 2 dead, 4 twice its average), 1E2 spectra 5-8 (10
// counts), 1W1 spectrum 11 (500 counts), 2W1 spectra 9-10 (dead); spectrum 12 is in no module.
TEST(CheckSummary, KeysAndValuesOfAKnownRun) {
  const fs::path dir = tests_root / "e2e" / "typical_run_option1";
  ScratchDir scratch;
  fs::copy(dir / "input", scratch.path(), fs::copy_options::recursive);
  ASSERT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   check_command("--run 42 --limits 1:0.1:1.8 --mask m.xml --summary - --quiet")),
            0)
      << read_file(".errors");
  EXPECT_EQ(read_file(".errors"), "");
  const auto j = nlohmann::json::parse(read_file(".console"));
  const std::string here = scratch.str();

  std::vector<std::string> keys;
  const auto in_order = nlohmann::ordered_json::parse(read_file(".console"));
  for (const auto &item : in_order.items())
    keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{
                      "program", "version", "source", "spectra", "analysed", "channels",
                      "zero_count", "fractions", "banks", "modules", "dead_modules", "low_modules",
                      "high_modules", "low_spectra", "high_spectra", "mask", "files"}));
  EXPECT_EQ(j["program"], "bantrisk");
  EXPECT_EQ(j["version"], std::string(bantrisk::program_version));
  EXPECT_EQ(j["source"], nlohmann::json({{"kind", "run"}, {"file", here + "/raw/KRV00042.RAW"}}));
  EXPECT_EQ(j["spectra"], 12);
  EXPECT_EQ(j["analysed"], 12);
  EXPECT_EQ(j["channels"], 4);
  EXPECT_EQ(j["zero_count"], nlohmann::json({2, 9, 10, 12}));
  EXPECT_EQ(j["fractions"]["low"].get<float>(), 0.3f);
  EXPECT_EQ(j["fractions"]["high"].get<float>(), 1.5f);

  // Reals come back as the floats the reports format: the bank average is the mean of the live
  // modules' averages in single precision, the ratios are quotients rounded to it.
  const float bank1 = (200.0f + 10.0f + 500.0f) / 3.0f;
  ASSERT_EQ(j["banks"].size(), 8U);
  EXPECT_EQ(j["banks"][0]["bank"], 1);
  EXPECT_EQ(j["banks"][0]["spectra"], 9);
  EXPECT_EQ(j["banks"][0]["dead"], 1);
  EXPECT_EQ(j["banks"][0]["average"].get<float>(), bank1);
  EXPECT_EQ(j["banks"][0]["high_limit"].get<float>(), 1.8f) << "from --limits";
  EXPECT_EQ(j["banks"][1]["average"], nullptr) << "bank 2 has no live module";
  EXPECT_EQ(j["banks"][4]["low_limit"].get<float>(), 0.75f);

  const auto ratio = [&](float average) { return static_cast<float>(average / double(bank1)); };
  const struct {
    const char *label;
    int bank, spectra, dead;
    std::vector<int> dead_spectra;
    std::optional<float> average, ratio;
    const char *status;
  } modules[] = {
      {"1E1", 1, 4, 1, {2}, 200.0f, ratio(200.0f), "ok"},
      {"1E2", 1, 4, 0, {}, 10.0f, ratio(10.0f), "low"},
      {"1W1", 1, 1, 0, {}, 500.0f, ratio(500.0f), "high"},
      {"2W1", 2, 2, 2, {9, 10}, std::nullopt, std::nullopt, "dead"},
  };
  ASSERT_EQ(j["modules"].size(), std::size(modules));
  for (std::size_t i = 0; i < std::size(modules); ++i) {
    const auto &m = j["modules"][i];
    const auto &want = modules[i];
    EXPECT_EQ(m["label"], want.label);
    EXPECT_EQ(m["bank"], want.bank) << want.label;
    EXPECT_EQ(m["spectra"], want.spectra) << want.label;
    EXPECT_EQ(m["dead"], want.dead) << want.label;
    EXPECT_EQ(m["dead_spectra"], nlohmann::json(want.dead_spectra)) << want.label;
    EXPECT_EQ(m["average"].is_null() ? std::nullopt : std::optional(m["average"].get<float>()),
              want.average)
        << want.label;
    EXPECT_EQ(m["ratio"].is_null() ? std::nullopt : std::optional(m["ratio"].get<float>()),
              want.ratio)
        << want.label;
    EXPECT_EQ(m["status"], want.status) << want.label;
  }
  EXPECT_EQ(j["dead_modules"], nlohmann::json({"2W1"}));
  ASSERT_EQ(j["low_modules"].size(), 1U);
  EXPECT_EQ(j["low_modules"][0]["label"], "1E2");
  // As the report shows it: "Module 1E2  is low with ratio =   0.0423".
  EXPECT_EQ(bantrisk::fixed_field(j["low_modules"][0]["ratio"].get<float>(), 8, 4), "  0.0423");
  EXPECT_EQ(j["high_modules"][0]["label"], "1W1");
  EXPECT_EQ(bantrisk::fixed_field(j["high_modules"][0]["ratio"].get<float>(), 8, 4), "  2.1127");
  EXPECT_EQ(j["low_spectra"], nlohmann::json::array());
  EXPECT_EQ(j["high_spectra"],
            nlohmann::json({{{"spectrum", 4}, {"module", "1E1"}, {"ratio", 2.0}}}));
  EXPECT_EQ(
      j["mask"],
      nlohmann::json(
          {{"file", here + "/m.xml"}, {"format", "xml"}, {"spectra", "dead"}, {"masked", 4}}));
  EXPECT_EQ(j["files"], nlohmann::json({{"results", here + "/bantrisk.dat"},
                                        {"integrals", nullptr},
                                        {"mask", here + "/m.xml"},
                                        {"summary", "-"},
                                        {"pictures", nlohmann::json::array()}}));

  // Written to a file, the summary is the same text, line for line, but for its own name.
  ASSERT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   check_command("--run 42 --limits 1:0.1:1.8 --mask m.xml --summary s.json "
                                 "--quiet")),
            0)
      << read_file(".errors");
  auto in_file = in_order;
  in_file["files"]["summary"] = here + "/s.json";
  EXPECT_EQ(read_file("s.json"), in_file.dump(2) + "\n");
  EXPECT_EQ(schema_faults("s.json"), "");

  // The schema is strict: a misspelt key, a status of another name or a missing key is a fault.
  auto broken = in_order;
  broken["modules"][0]["status"] = "lowish";
  broken["files"].erase("mask");
  broken["dead_module"] = nlohmann::json::array();
  write_file("broken.json", broken.dump());
  EXPECT_EQ(schema_faults("broken.json"),
            ": Additional properties are not allowed ('dead_module' was unexpected)\n"
            "files: 'mask' is a required property\n"
            "modules/0/status: 'lowish' is not one of ['ok', 'dead', 'low', 'high']\n");
}

// The demo run checked with the options equivalent to the demo's answers gives the demo's
// files; its saved integrals checked again give the xml and msk masks, which hold the spectra of
// the columns mask.
TEST(CheckDemo, SameFilesAndMasksInEveryForm) {
  ScratchDir scratch;
  make_demo(scratch);
  const std::string env = demo_env(scratch);
  const std::string here = scratch.str();
  const fs::path expected = tests_root / "e2e-demo" / "expected";
  ASSERT_EQ(run_in(scratch, env,
                   check_command("--run 1234 --counts-per-spectrum --save-integrals "
                                 "--mask bantrisk.mask --mask-spectra dead-low-high --quiet "
                                 "--summary demo.json")),
            0)
      << read_file(".errors");
  EXPECT_EQ(read_file(".console"), "") << "--quiet";
  EXPECT_EQ(schema_faults("demo.json"), "");
  for (const char *file : {"bantrisk.dat", "bantrisk.ans", "bantrisk.mask"}) {
    const std::string want = replace_all(read_file(expected / file), "@DIR@", here);
    EXPECT_TRUE(want == read_file(file)) << file << ": " << first_difference(want, read_file(file));
  }

  // Progress is shown only to a terminal: one line rewritten in place, cleared at the end.
  ASSERT_EQ(run_in(scratch, env, check_command("--run 1234 --results r.dat")), 0);
  EXPECT_EQ(read_file(".errors"), "");
  // `script` gives the check a terminal, where the machine can open one.
  if (std::system("script -qec true /dev/null >/dev/null 2>&1") == 0) {
    ASSERT_EQ(run_in(scratch, env,
                     "script -qec " +
                         shell_quoted(check_command("--run 1234 --results r.dat") + " >/dev/null") +
                         " /dev/null"),
              0);
    const std::string shown = read_file(".console");
    EXPECT_NE(shown.find("\rIntegrating spectrum 7000 from a total 7000\033[K\r\033[K"),
              std::string::npos)
        << shown;
    EXPECT_EQ(occurrences(shown, "\n"), 0) << shown;
  }

  const std::set<int> columns = columns_masked(read_file(expected / "bantrisk.mask"));
  ASSERT_GT(columns.size(), 80U);
  ASSERT_EQ(run_in(scratch, env,
                   check_command(
                       "--integrals bantrisk.ans --results again.dat --quiet --counts-per-spectrum "
                       "--mask mask.xml --mask-spectra dead-low-high")),
            0)
      << read_file(".errors");
  EXPECT_EQ(xml_masked(read_file("mask.xml")), columns);
  // Option 2 reports as option 1 did, but for the name of its input file.
  std::string report = read_file("bantrisk.dat");
  const std::string raw_name = " " + here + "/raw/KRV01234.RAW";
  const std::string ans_name = " " + here + "/bantrisk.ans";
  report.replace(report.find(raw_name), raw_name.size(),
                 ans_name + std::string(raw_name.size() - ans_name.size(), ' '));
  EXPECT_TRUE(report == read_file("again.dat")) << first_difference(report, read_file("again.dat"));
  ASSERT_EQ(run_in(scratch, env,
                   check_command(
                       "--integrals bantrisk.ans --results again.dat --quiet --counts-per-spectrum "
                       "--mask mask.txt --mask-format msk --mask-spectra dead-low-high")),
            0)
      << read_file(".errors");
  EXPECT_EQ(msk_masked(read_file("mask.txt"), here + "/bantrisk.ans"), columns);
}

} // namespace

namespace {

// What a check found, read back from each of its outputs: module labels and "spectrum module"
// pairs in the order each output gives them.
struct Named {
  std::vector<std::string> dead_modules, low_modules, high_modules, low_spectra, high_spectra;
  bool operator==(const Named &) const = default;
};

std::ostream &operator<<(std::ostream &os, const Named &n) {
  for (const auto *list :
       {&n.dead_modules, &n.low_modules, &n.high_modules, &n.low_spectra, &n.high_spectra})
    os << "[" << bantrisk::joined(*list, " ") << "] ";
  return os;
}

// The report lines of the results file (the dead-module list line follows its heading).
Named from_results(const std::string &text) {
  static const std::regex module(R"(^ Module (\S+) +is (low|high) with ratio = )");
  static const std::regex spectrum(R"(^ Spectrum +(\d+) in module (\S+) +is (low|high) with )");
  Named n;
  std::istringstream in(text);
  for (std::string line, previous; std::getline(in, line); previous = line) {
    std::smatch m;
    if (previous == " The following modules are dead...") {
      std::istringstream labels(line);
      for (std::string label; labels >> label;)
        n.dead_modules.push_back(label);
    } else if (std::regex_search(line, m, module)) {
      (m[2] == "low" ? n.low_modules : n.high_modules).push_back(m[1]);
    } else if (std::regex_search(line, m, spectrum)) {
      (m[3] == "low" ? n.low_spectra : n.high_spectra).push_back(m[1].str() + " " + m[2].str());
    }
  }
  return n;
}

Named from_json(const nlohmann::json &j) {
  Named n;
  n.dead_modules = j["dead_modules"].get<std::vector<std::string>>();
  for (const auto &m : j["low_modules"])
    n.low_modules.push_back(m["label"]);
  for (const auto &m : j["high_modules"])
    n.high_modules.push_back(m["label"]);
  for (const auto &[key, list] :
       {std::pair{"low_spectra", &n.low_spectra}, std::pair{"high_spectra", &n.high_spectra}})
    for (const auto &s : j[key])
      list->push_back(std::to_string(s["spectrum"].get<int>()) + " " +
                      s["module"].get<std::string>());
  return n;
}

// The count after `label` in the closing lines ("Low modules:    2: 4E4 5W9"), and its labels.
std::pair<int, std::vector<std::string>> closing(const std::string &console, const char *label) {
  const auto at = console.find("\n " + std::string(label) + ":");
  if (at == std::string::npos)
    return {-1, {}};
  std::istringstream line(console.substr(at + 3 + std::strlen(label),
                                         console.find('\n', at + 1) - at - 3 - std::strlen(label)));
  int count = -1;
  std::string colon, label_read;
  std::vector<std::string> labels;
  line >> count >> colon;
  while (line >> label_read)
    labels.push_back(label_read);
  return {count, labels};
}

// The count the picture shows beside `label`.
int picture_count(const std::string &svg, const std::string &label) {
  const std::regex count(">" + label + R"(</text>\s*<text[^>]*>(\d+)</text>)");
  std::smatch m;
  return std::regex_search(svg, m, count) ? std::stoi(m[1]) : -1;
}

} // namespace

// One verdict: whatever the fractions and limits, the results file's lines, the JSON's lists
// and module statuses, the closing lines, the picture's counts and the mask name the same
// modules and spectra. With fractions that are equal or crossed every judged module (the 97
// live modules of the demo) is low or high, low being tested first.
TEST(CheckVerdict, EveryOutputNamesTheSameModulesAndSpectra) {
  ScratchDir scratch;
  make_demo(scratch);
  const std::string env = demo_env(scratch);
  const struct {
    const char *what;
    std::string options;
    int low_modules, high_modules; // -1: not known beforehand
  } rows[] = {
      {"built-in fractions and limits", "", 1, 1},
      {"equal", "--low-fraction 1 --high-fraction 1 --limits 1:1:1 --limits 5:0.75:0.75", -1, -1},
      {"inverted", "--low-fraction 0.9 --high-fraction 0.1 --limits 1:5:0.5 --limits 4:1.2:0.8", 1,
       96},
      {"zero", "--low-fraction 0 --high-fraction 0 --limits 3:0:0 --limits 8:0:0", 0, 97},
      {"huge", "--low-fraction 1E30 --high-fraction 3E38 --limits 2:1E30:1E30", 97, 0},
  };
  for (const auto &row : rows) {
    SCOPED_TRACE(row.what);
    ASSERT_EQ(run_in(scratch, env,
                     check_command("--run 1234 " + row.options +
                                   " --summary s.json --picture p.svg --mask m.xml"
                                   " --mask-spectra dead-low-high")),
              0)
        << read_file(".errors");
    const Named reported = from_results(read_file("bantrisk.dat"));
    const auto j = nlohmann::json::parse(read_file("s.json"));
    EXPECT_EQ(from_json(j), reported);
    if (row.low_modules >= 0) {
      EXPECT_EQ(static_cast<int>(reported.low_modules.size()), row.low_modules);
      EXPECT_EQ(static_cast<int>(reported.high_modules.size()), row.high_modules);
    } else {
      EXPECT_EQ(reported.low_modules.size() + reported.high_modules.size(), 97U);
    }
    for (const auto &m : j["modules"]) {
      const auto in = [&m](const std::vector<std::string> &labels) {
        return std::find(labels.begin(), labels.end(), m["label"]) != labels.end();
      };
      const char *status = in(reported.dead_modules)   ? "dead"
                           : in(reported.low_modules)  ? "low"
                           : in(reported.high_modules) ? "high"
                                                       : "ok";
      EXPECT_EQ(m["status"], status) << m["label"];
    }

    const std::string console = read_file(".console");
    EXPECT_EQ(closing(console, "Dead modules"),
              std::pair(static_cast<int>(reported.dead_modules.size()), reported.dead_modules));
    EXPECT_EQ(closing(console, "Low modules"),
              std::pair(static_cast<int>(reported.low_modules.size()), reported.low_modules));
    EXPECT_EQ(closing(console, "High modules"),
              std::pair(static_cast<int>(reported.high_modules.size()), reported.high_modules));
    EXPECT_EQ(closing(console, "Low spectra").first, static_cast<int>(reported.low_spectra.size()));
    EXPECT_EQ(closing(console, "High spectra").first,
              static_cast<int>(reported.high_spectra.size()));

    const std::string svg = read_file("p.svg");
    EXPECT_EQ(picture_count(svg, "Dead modules"), static_cast<int>(reported.dead_modules.size()));
    EXPECT_EQ(picture_count(svg, "Low modules"), static_cast<int>(reported.low_modules.size()));
    EXPECT_EQ(picture_count(svg, "High modules"), static_cast<int>(reported.high_modules.size()));
    EXPECT_EQ(picture_count(svg, "Low spectra"), static_cast<int>(reported.low_spectra.size()));
    EXPECT_EQ(picture_count(svg, "High spectra"), static_cast<int>(reported.high_spectra.size()));

    // The mask leaves out the dead spectra and exactly the spectra reported low or high.
    std::set<int> masked(j["zero_count"].begin(), j["zero_count"].end());
    for (const auto *list : {&reported.low_spectra, &reported.high_spectra})
      for (const std::string &s : *list)
        masked.insert(std::stoi(s));
    EXPECT_EQ(xml_masked(read_file("m.xml")), masked);
    EXPECT_EQ(picture_count(svg, "Spectra masked"), static_cast<int>(masked.size()));
    EXPECT_EQ(j["mask"]["masked"], masked.size());
  }
}

namespace {

// The program installed as a user installs it, into a folder of its own: it runs from there, its
// manual page reads without a fault and names every option, and its completion offers them.
TEST(Install, ProgramManualAndCompletionInAPrefix) {
  ScratchDir scratch;
  const std::string prefix = scratch.str() + "/prefix";
  ASSERT_EQ(run_in(scratch, "",
                   shell_quoted(BANTRISK_CMAKE) + " --install " + shell_quoted(BANTRISK_BUILD_DIR) +
                       " --prefix " + shell_quoted(prefix)),
            0)
      << read_file(".errors");
  const std::string program = shell_quoted(prefix + "/bin/bantrisk");
  EXPECT_TRUE(fs::exists(prefix + "/bin/bantrisk-mkrun"));
  ASSERT_EQ(run_in(scratch, "", program + " --version"), 0) << read_file(".errors");
  EXPECT_EQ(read_file(".console"), "bantrisk " + std::string(bantrisk::program_version) + "\n");

  // The installed program checks the integrals of the option-2 case.
  const fs::path dir = tests_root / "e2e" / "option2_reads_back_integrals";
  fs::copy(dir / "input", scratch.path(), fs::copy_options::recursive);
  ASSERT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   program + " check --integrals bantrisk.ans --quiet --summary -"),
            0)
      << read_file(".errors");
  EXPECT_EQ(nlohmann::json::parse(read_file(".console"))["source"]["kind"], "integrals");
  // The installed picture module draws; a copy of the program without it checks as before and
  // refuses only the picture, in one line.
  ASSERT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   program + " check --integrals bantrisk.ans --quiet --picture p.png"),
            0)
      << read_file(".errors");
  EXPECT_EQ(read_file("p.png").substr(0, 8), "\x89PNG\r\n\x1a\n");
  fs::create_directory(scratch.path() / "alone");
  fs::copy_file(prefix + "/bin/bantrisk", scratch.path() / "alone" / "bantrisk");
  const std::string alone = shell_quoted(scratch.str() + "/alone/bantrisk");
  EXPECT_EQ(run_in(scratch, case_env(dir, scratch.str()),
                   alone + " check --integrals bantrisk.ans --quiet --results r2.dat"),
            0)
      << read_file(".errors");
  EXPECT_NE(run_in(scratch, case_env(dir, scratch.str()),
                   alone + " check --integrals bantrisk.ans --quiet --picture q.png"),
            0);
  const std::string refusal = read_file(".errors");
  EXPECT_NE(refusal.find("the drawing module " + scratch.str() +
                         "/alone/bantrisk-picture.so cannot be loaded"),
            std::string::npos)
      << refusal;
  EXPECT_EQ(std::count(refusal.begin(), refusal.end(), '\n'), 1) << refusal;
  EXPECT_FALSE(fs::exists(scratch.path() / "q.png"));

  ASSERT_EQ(run_in(scratch, "", program + " --help"), 0);
  std::istringstream help(read_file(".console"));
  for (std::string line; std::getline(help, line);)
    EXPECT_LE(line.size(), 80U) << line;

  const std::string manual = prefix + "/share/man/man1/bantrisk.1";
  ASSERT_EQ(run_in(scratch, "", "groff -man -ww -z -Tutf8 " + shell_quoted(manual)), 0);
  EXPECT_EQ(read_file(".errors"), "") << "groff's warnings";
  ASSERT_EQ(run_in(scratch, "MANWIDTH=80", "man -l " + shell_quoted(manual)), 0)
      << read_file(".errors");
  const std::string shown = read_file(".console");
  for (const char *section : {"SYNOPSIS", "OPTIONS", "ENVIRONMENT", "EXIT STATUS", "EXAMPLES"})
    EXPECT_NE(shown.find(section), std::string::npos) << section;
  for (const bantrisk::OptionDef &d : bantrisk::check_option_table())
    EXPECT_NE(shown.find(std::string(d.name)), std::string::npos) << d.name;

  // Completion: the words typed, the cursor on the last one, and what is offered (sorted).
  fs::create_directory("dirA");
  write_file("dfile", "");
  const struct {
    const char *typed;
    const char *offered;
  } cases[] = {
      {"bantrisk ''", "--help --version -V -h check"},
      {"bantrisk check --ma", "--mask --mask-format --mask-spectra --max-spectrum"},
      {"bantrisk check --mask-format ''", "columns msk xml"},
      {"bantrisk check -q --qu", ""},
      {"bantrisk check --picture a.png --pic", "--picture"},
      {"bantrisk check --raw-dir d", "dirA"},
      {"bantrisk check --results d", "dfile dirA"},
      {"bantrisk check --save-integrals = d", "dfile dirA"},
      {"bantrisk check --save-integrals d", "dfile dirA"},
      {"bantrisk check --save-integrals --sa", ""},
      {"bantrisk check --run ''", ""},
  };
  std::string script = "source " +
                       shell_quoted(prefix + "/share/bash-completion/completions/bantrisk") +
                       "\noffered() { COMP_WORDS=(\"$@\"); COMP_CWORD=$(($# - 1)); COMPREPLY=(); "
                       "_bantrisk; printf '%s\\n' \"${COMPREPLY[@]}\" | LC_ALL=C sort | "
                       "paste -sd ' '; }\n";
  for (const auto &c : cases)
    script += std::string("offered ") + c.typed + "\n";
  write_file("complete.sh", script);
  ASSERT_EQ(run_in(scratch, "", "bash complete.sh"), 0) << read_file(".errors");
  std::istringstream offered(read_file(".console"));
  for (const auto &c : cases) {
    std::string line;
    std::getline(offered, line);
    EXPECT_EQ(line, c.offered) << c.typed;
  }
}

// The demo empties its folder for every demo, so it refuses a folder it did not make; the
// refusal comes before anything is installed or built.
TEST(Install, DemoLeavesAFolderItDidNotMake) {
  ScratchDir scratch;
  fs::create_directory("theirs");
  write_file("theirs/notes.txt", "someone's notes\n");
  const std::string demo = shell_quoted((tests_root.parent_path() / "tools" / "demo.sh").string());
  EXPECT_EQ(run_in(scratch, "BANTRISK_DEMO_DIR=" + shell_quoted(scratch.str() + "/theirs"),
                   "bash " + demo),
            1);
  EXPECT_EQ(read_file("theirs/notes.txt"), "someone's notes\n");
  EXPECT_NE(read_file(".errors").find("was not made by the demo"), std::string::npos)
      << read_file(".errors");
  // A name that is a file is not a folder the demo made either.
  write_file("a-file", "");
  EXPECT_EQ(run_in(scratch, "BANTRISK_DEMO_DIR=" + shell_quoted(scratch.str() + "/a-file"),
                   "bash " + demo),
            1);
}

} // namespace
