// `bantrisk check` as a script uses it: a text output sent to standard output with -, and the
// lines that tell a user what to do when an input is not where the check looked.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "program_runner.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

const fs::path typical = tests_root / "e2e" / "typical_run_option1";

std::string check_command(const std::string &args) {
  return shell_quoted(BANTRISK_BINARY) + " check " + args;
}

std::string expected_file(const std::string &name, const ScratchDir &scratch) {
  return replace_all(read_file(typical / "expected" / "files" / name), "@DIR@", scratch.str());
}

// The options of the typical case, each output named by `names`.
std::string typical_args(const std::map<std::string, std::string> &names) {
  std::string args = "--run 42 --counts-per-spectrum --mask-spectra dead-low-high";
  for (const auto &[option, name] : names)
    args += " " + option + " " + name;
  return args;
}

const std::map<std::string, std::string> typical_outputs = {
    {"--results", "bantrisk.dat"}, {"--save-integrals", "bantrisk.ans"}, {"--mask", "bantrisk.mask"}};

} // namespace

// Each text output named - : standard output holds exactly the text its file would hold, the
// report goes to standard error, no file named - appears, and the other outputs are as ever.
TEST(CheckStandardOutput, EachTextOutputHoldsItsFilesText) {
  for (const auto &[option, file] : typical_outputs) {
    SCOPED_TRACE(option);
    ScratchDir scratch;
    fs::copy(typical / "input", scratch.path(), fs::copy_options::recursive);
    std::map<std::string, std::string> names = typical_outputs;
    names[option] = "-";
    ASSERT_EQ(run_in(scratch, case_env(typical, scratch.str()), check_command(typical_args(names))),
              0)
        << read_file(".errors");
    EXPECT_EQ(read_file(".console"), expected_file(file, scratch));
    EXPECT_FALSE(fs::exists("-"));
    EXPECT_FALSE(fs::exists(file));
    for (const auto &[other_option, other] : typical_outputs) {
      if (other_option != option) {
        EXPECT_EQ(read_file(other), expected_file(other, scratch)) << other;
      }
    }
    // The report on standard error: the results lines, then the closing lines, which name no
    // file for standard output.
    const std::string errors = read_file(".errors");
    const std::string results = expected_file("bantrisk.dat", scratch);
    EXPECT_EQ(errors.substr(0, results.size()), results);
    EXPECT_NE(errors.find("\n Summary of the check of "), std::string::npos) << errors;
    EXPECT_EQ(errors.find("/-"), std::string::npos) << errors;
  }
}

// Standard output is given its text only once every file is finished: a file that cannot be
// finished leaves standard output empty, and a standard output that cannot take the text
// leaves every earlier file as it was.
TEST(CheckStandardOutput, AllOrNothingWithTheFiles) {
  const std::string earlier = "the results of an earlier check\n";
  const struct {
    const char *what;
    std::map<std::string, std::string> names;
    const char *redirect;
    const char *message;
  } cases[] = {
      {"a summary that cannot be finished",
       {{"--results", "-"}, {"--summary", "/dev/full"}},
       "",
       "bantrisk: --summary: error writing /dev/full: No space left on device; no file was "
       "replaced\n"},
      {"a mask that cannot be finished",
       {{"--save-integrals", "-"}, {"--mask", "/dev/full"}},
       "",
       "bantrisk: error writing /dev/full: No space left on device; no file was replaced\n"},
      {"a full standard output",
       {{"--mask", "-"}, {"--save-integrals", "bantrisk.ans"}},
       " > /dev/full",
       "bantrisk: --mask: error writing standard output: Input/output error; no file was "
       "replaced\n"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    fs::copy(typical / "input", scratch.path(), fs::copy_options::recursive);
    for (const char *file : {"bantrisk.dat", "bantrisk.ans", "bantrisk.mask"})
      write_file(file, earlier);
    std::map<std::string, std::string> names = typical_outputs;
    for (const auto &[option, name] : c.names)
      names[option] = name;
    const std::string command = "sh -c " + shell_quoted(check_command(typical_args(names) +
                                                                      " --quiet" + c.redirect));
    EXPECT_EQ(run_in(scratch, case_env(typical, scratch.str()), command), 1);
    EXPECT_EQ(read_file(".console"), "");
    EXPECT_EQ(read_file(".errors"), c.message);
    for (const char *file : {"bantrisk.dat", "bantrisk.ans", "bantrisk.mask"})
      EXPECT_EQ(read_file(file), earlier) << file;
  }
}

// What a check says when an input is not where it looked: the full name looked for, where the
// name or its folder came from and the option that names another, on one line, escaped as the
// report escapes names.
TEST(CheckMessages, MissingInputsSayWhereTheCheckLooked) {
  const struct {
    const char *what;
    const char *setup; // shell lines run in the scratch folder first
    std::vector<std::string> env; // NAME=VALUE
    const char *args;
    const char *message; // the whole of standard error; @DIR@ is the scratch folder
  } cases[] = {
      {"raw folder unset", "", {}, "--run 1234",
       "raw file not found: @DIR@/KRV01234.RAW; KRV_DATA is unset, so the current folder was "
       "looked in; name the folder of the raw files with --raw-dir or KRV_DATA"},
      {"raw folder empty", "", {"KRV_DATA="}, "--run 1234",
       "raw file not found: @DIR@/KRV01234.RAW; KRV_DATA is empty, so the current folder was "
       "looked in; name the folder of the raw files with --raw-dir or KRV_DATA"},
      {"raw folder from the variable", "", {"KRV_DATA=/nowhere/runs/"}, "--run 7",
       "raw file not found: /nowhere/runs/KRV00007.RAW; its folder is KRV_DATA=/nowhere/runs/; "
       "name another with --raw-dir or KRV_DATA"},
      {"the variable of another instrument", "", {"KRV_DATA=/data/"}, "--run 7 --instrument ABC",
       "raw file not found: @DIR@/ABC00007.RAW; ABC_DATA is unset, so the current folder was "
       "looked in; name the folder of the raw files with --raw-dir or ABC_DATA"},
      {"raw folder from the option", "mkdir runs", {"KRV_DATA=/data/"},
       "--run 7 --raw-dir runs --extension NXS",
       "raw file not found: @DIR@/runs/KRV00007.NXS; its folder is --raw-dir runs/; name another "
       "with --raw-dir"},
      {"a line feed in the raw folder", "", {"KRV_DATA=/a\nb/"}, "--run 7",
       "raw file not found: /a\\nb/KRV00007.RAW; its folder is KRV_DATA=/a\\nb/; name another "
       "with --raw-dir or KRV_DATA"},
      {"a missing run file", "", {}, "--run-file gone.nxs",
       "run file not found: @DIR@/gone.nxs; check --run-file"},
      {"a line feed in the spectra file's name", "cp -r input/raw . && cp input/specfile.dat .",
       {"KRV_DATA=@DIR@/raw/"}, "--run 42 --spectra-file \"$(printf 'a\\nb.dat')\"",
       "spectra file not found: @DIR@/a\\nb.dat; check --spectra-file"},
      {"a spectra file for another number of spectra, named", "cp -r input/* .",
       {"KRV_DATA=@DIR@/raw/"}, "--run 42 --spectra-file spectra.dat",
       "the spectra file @DIR@/spectra.dat is for 11 spectra, but the run has 12; name the "
       "spectra file for 12 spectra with --spectra-file"},
      {"a spectra file for another number of spectra, from the list", "cp -r input/* .",
       {"KRV_DATA=@DIR@/raw/", "Z_R=@DIR@/"}, "--run 42",
       "the spectra file @DIR@/spectra.dat (named in @DIR@/specfile.dat for 12 spectra) is for "
       "11 spectra, but the run has 12; name the spectra file for 12 spectra with "
       "--spectra-file"},
      {"a list naming a file found neither here nor beside the list",
       "cp -r input/raw . && mkdir maps && printf '1\\n12 gone.dat\\n' > maps/specfile.dat",
       {"KRV_DATA=@DIR@/raw/"}, "--run 42 --spectrum-list maps/specfile.dat",
       "spectra file not found: gone.dat (named in @DIR@/maps/specfile.dat) is neither "
       "@DIR@/gone.dat "
       "nor @DIR@/maps/gone.dat; name the spectra file with --spectra-file"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    fs::copy(tests_root / "e2e" / "spectra_count_mismatch" / "input", scratch.path() / "input",
             fs::copy_options::recursive);
    write_file(".script", std::string("set -e\n") + c.setup + "\n");
    ASSERT_EQ(std::system("sh .script"), 0);
    std::string env;
    for (const std::string &word : c.env)
      env += " " + shell_quoted(replace_all(word, "@DIR@", scratch.str()));
    EXPECT_EQ(run_in(scratch, env, check_command(std::string(c.args) + " --quiet")), 1);
    EXPECT_EQ(read_file(".errors"),
              "bantrisk: " + replace_all(c.message, "@DIR@", scratch.str()) + "\n");
  }
}

// A relative spectra file named in a list that is not in the current folder is read from beside
// the list: a check run from another folder finds the map that sits with its list.
TEST(CheckMessages, SpectraFileBesideItsList) {
  ScratchDir scratch;
  fs::copy(typical / "input", scratch.path() / "maps", fs::copy_options::recursive);
  fs::create_directory("work");
  const std::string env = " " + shell_quoted("KRV_DATA=" + scratch.str() + "/maps/raw/");
  ASSERT_EQ(run_in(scratch, env,
                   "sh -c " + shell_quoted("cd work && " +
                                           check_command("--run 42 --spectrum-list "
                                                         "../maps/specfile.dat --quiet"))),
            0)
      << read_file(".errors");
  EXPECT_EQ(read_file(".errors"), "");
  EXPECT_NE(read_file("work/bantrisk.dat").find("Spectrum file: " + scratch.str() +
                                                "/maps/spectra.dat"),
            std::string::npos);
}
