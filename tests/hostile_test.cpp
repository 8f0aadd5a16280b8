// The built program against what a careless or hostile user can give it: pipes, devices, endless
// lines, outputs named like inputs, a folder another check holds, control characters, links to
// nothing and signals. Each case runs an option-2 check on the files of tests/e2e's option-2 case.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "driver_harness.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

const fs::path option2_input =
    fs::path(BANTRISK_TEST_DATA).parent_path() / "e2e" / "option2_reads_back_integrals" / "input";

// Option 2 from `integrals` to the end, saving the integrals when `save`, and a mask under each
// of `mask_names` (the first ones refused) when any is given.
std::string session(const std::string &integrals, bool save,
                    const std::vector<std::string> &mask_names = {}) {
  std::string a = "2\n" + integrals + "\n0\n\n\n9\n" + (save ? "1\n" : "0\n");
  if (mask_names.empty())
    return a + "0\n\n";
  a += "1\n";
  for (const auto &name : mask_names)
    a += name + "\n";
  return a + "1\n\n";
}

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (auto pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
  return s;
}

struct Case {
  const char *what;
  std::string setup;   // shell commands in the scratch folder, before the run
  std::string answers; // the console input (written to .answers)
  std::string run;     // how the program is started; BIN stands for it
  int status;
  std::vector<std::string> console_has; // "@DIR@" stands for the scratch folder
  std::string check;                    // shell commands that must succeed after the run
};

TEST(Hostile, PipesDevicesEndlessLinesAndAliases) {
  const std::string plain = "BIN < .answers > .console 2> .errors";
  const Case cases[] = {
      {"a pipe with no writer as the integrals file is refused at once",
       "mkfifo in.ans",
       session("in.ans", false),
       plain,
       1,
       {" ** ERROR: cannot open file for reading: @DIR@/in.ans : not a regular file\n"},
       "test -p in.ans"},
      {"a device as the spectra file is refused",
       "printf '1\\n12 /dev/zero\\n' > specfile.dat",
       session("", false),
       plain,
       1,
       {" ** ERROR: cannot open file for reading: /dev/zero : not a regular file\n"},
       ""},
      {"an endless record is a read error of the file",
       "head -c 3000000 /dev/zero | tr '\\0' 7 > long.ans",
       session("long.ans", false),
       plain,
       1,
       {" Error reading file long.ans "},
       ""},
      {"endless answers end as the end of the console input does",
       "",
       "",
       "BIN < /dev/zero > .console 2> .errors",
       2,
       {" Give option (1) > "},
       "grep -q 'end of console input' .errors"},
      {"a results file that cannot be completed is not claimed",
       "ln -s /dev/full bantrisk.dat",
       session("", false),
       plain,
       1,
       {" ** Error writing file /dev/full : the file is incomplete **\n",
        " Detector checking results were not written to file: bantrisk.dat\n"},
       "! grep -q 'results written' .console"},
      {"a pipe with no reader as the results file is an output error",
       "mkfifo bantrisk.dat",
       session("", false),
       plain,
       1,
       {" ** Error in open_new_file **\n I/O status = 6\n",
        " Detector checking results were not written to file: bantrisk.dat\n"},
       "test -p bantrisk.dat"},
      {"a mask named like the spectra file is refused and asked again",
       "cp spectra.dat .orig",
       session("", false, {"spectra.dat", "m.mask"}),
       plain,
       0,
       {"(bantrisk.mask) >  ** ERROR: @DIR@/spectra.dat is an input file of this check: not "
        "replaced **\n Give full name of mask file (spectra.dat) > "},
       "cmp spectra.dat .orig && test -s m.mask"},
      {"the integrals read may be replaced by the integrals saved",
       "cp bantrisk.ans .orig",
       session("", true),
       plain,
       0,
       {" Spectrum integrals written to file: bantrisk.ans "},
       "cmp bantrisk.ans .orig"},
      {"a link to nothing as the integrals file makes the file it names",
       "mv bantrisk.ans in.ans && mkdir out && ln -s out/saved.ans bantrisk.ans",
       session("in.ans", true),
       plain,
       0,
       {" Spectrum integrals written to file: bantrisk.ans "},
       "test -L bantrisk.ans && cmp out/saved.ans in.ans"},
      {"a folder held by another check is left alone",
       "",
       session("", false),
       "flock . " + plain,
       1,
       {" ** ERROR: another check is running in this folder\n"},
       "test ! -e bantrisk.dat && test \"$(wc -l < .console)\" -eq 1"},
      {"a newline in Z_R is shown escaped",
       "",
       "2\n\n\n",
       "Z_R=\"$PWD/x\n/\" " + plain,
       1,
       {" Failure locating file @DIR@/x\\n/specfile.dat\n"},
       ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    fs::copy(option2_input, scratch.path(), fs::copy_options::recursive);
    write_file(".answers", c.answers);
    const std::string script = c.setup + "\n" + replace_all(c.run, "BIN", BANTRISK_BINARY) +
                               "\necho $? > .status\n" + c.check;
    write_file(".script", script);
    const int checked = std::system("sh .script");
    const std::string console = read_file(".console");
    EXPECT_EQ(std::atoi(read_file(".status").c_str()), c.status) << console << read_file(".errors");
    for (const auto &piece : c.console_has)
      EXPECT_NE(console.find(replace_all(piece, "@DIR@", scratch.str())), std::string::npos)
          << piece << "\n---\n"
          << console;
    EXPECT_TRUE(WIFEXITED(checked) && WEXITSTATUS(checked) == 0) << "check failed: " << c.check;
  }
}

// A check ended by a signal while it waits at a question leaves no temporary file and keeps the
// earlier results file.
TEST(Hostile, SignalsRemoveTheTemporaryFiles) {
  for (const char *sig : {"TERM", "HUP"}) {
    SCOPED_TRACE(sig);
    ScratchDir scratch;
    write_file("bantrisk.dat", "earlier\n");
    // The console input is a pipe kept open by the shell, so the program waits at the menu.
    const std::string script =
        std::string("mkfifo .in && exec 3<>.in\n") + "'" + BANTRISK_BINARY +
        "' < .in > .console 2> .errors &\npid=$!\n"
        "i=0; until ls -A | grep -q '^\\.bantrisk\\.dat\\.' || [ $i -ge 600 ]; do sleep 0.05; "
        "i=$((i+1)); done\n"
        "kill -" +
        sig + " $pid; wait $pid; echo $? > .status\n";
    write_file(".script", script);
    ASSERT_EQ(std::system("sh .script"), 0);
    EXPECT_GT(std::atoi(read_file(".status").c_str()), 128); // ended by the signal
    EXPECT_EQ(read_file("bantrisk.dat"), "earlier\n");
    for (const auto &entry : fs::directory_iterator(scratch.path()))
      EXPECT_NE(entry.path().filename().string().rfind(".bantrisk.dat.", 0), 0u) << entry.path();
  }
}

} // namespace
