// The built program against what a careless or hostile user can give it: pipes, devices, endless
// lines, outputs named like inputs, a folder another check holds, control characters, links to
// nothing and signals. Each case runs an option-2 check on the files of tests/e2e's option-2 case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
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

// The same for a check, which makes every temporary file at its start: ended while it writes a
// mask into a pipe whose reader does not read, it leaves none of them, and no output.
TEST(Hostile, SignalsRemoveTheTemporaryFilesOfACheck) {
  ScratchDir scratch;
  std::string integrals = " 20000\n";
  for (int s = 1; s <= 20000; ++s)
    integrals += " " + std::to_string(s) + " 5\n";
  write_file("i.ans", integrals);
  write_file("sp.dat", "one entry\n1\ncode spectrum\n101001 20000\n");
  const std::string script =
      "mkfifo m.pipe && exec 3<>m.pipe\n'" + std::string(BANTRISK_BINARY) +
      "' check --integrals i.ans --spectra-file sp.dat --mask m.pipe --picture p.png "
      "--summary s.json --quiet 2> .errors &\npid=$!\n"
      "i=0; until ls -A | grep -q '^\\.s\\.json\\.' || [ $i -ge 600 ]; do sleep 0.05; "
      "i=$((i+1)); done\nkill -TERM $pid; wait $pid; echo $? > .status\n";
  write_file(".script", script);
  ASSERT_EQ(std::system("sh .script 2>/dev/null"), 0);     // quiet about the job it ends
  EXPECT_GT(std::atoi(read_file(".status").c_str()), 128); // ended by the signal
  std::vector<std::string> left;
  for (const auto &entry : fs::directory_iterator(scratch.path()))
    left.push_back(entry.path().filename().string());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{".errors", ".script", ".status", "i.ans", "m.pipe",
                                            "sp.dat"}));
}

// A check ended while the probe of its run file runs (a file that makes the HDF5 library loop)
// ends the probe's child too, and the folder is free for the next check at once.
TEST(Hostile, SignalDuringTheProbeLeavesNoChildAndNoLock) {
  ScratchDir scratch;
  fs::copy_file(fs::path(BANTRISK_TEST_DATA).parent_path() / "data/nexus/damaged/timeout-305136e1f0dca3198b3374fa0f5ba23305e64c08",
                scratch.path() / "r.nxs");
  write_file("sp.dat", "one entry\n1\ncode spectrum\n101001 3\n");
  write_file("i.ans", " 3\n 1 5\n 2 5\n 3 5\n");
  const std::string program = "'" + std::string(BANTRISK_BINARY) + "'";
  const std::string script =
      program + " check --run-file r.nxs --spectra-file sp.dat --quiet > .console 2> .errors &\n"
      "pid=$!\n"
      "i=0; until [ -n \"$(cat /proc/$pid/task/*/children 2>/dev/null)\" ] || [ $i -ge 600 ]; "
      "do sleep 0.05; i=$((i+1)); done\n"
      "child=$(cat /proc/$pid/task/*/children)\n"
      "kill -TERM $pid; wait $pid; echo $? > .status\n"
      "if [ -n \"$child\" ] && kill -0 $child 2>/dev/null; then echo left > .child; fi\n"
      "[ -n \"$child\" ] || echo none > .child\n" +
      program + " check --integrals i.ans --spectra-file sp.dat --quiet > .console2 2> .errors2\n";
  write_file(".script", script);
  ASSERT_EQ(std::system("sh .script 2>/dev/null"), 0);
  EXPECT_GT(std::atoi(read_file(".status").c_str()), 128); // ended by the signal
  EXPECT_FALSE(fs::exists(scratch.path() / ".child")) << read_file(".child");
  EXPECT_EQ(read_file(".errors2").find("another check is running"), std::string::npos)
      << read_file(".errors2");
}

} // namespace

namespace {

// Every file under the scratch folder (but what the case itself captures) with its bytes, and
// links with their targets.
std::vector<std::pair<std::string, std::string>> contents(const fs::path &dir) {
  std::vector<std::pair<std::string, std::string>> files;
  for (const auto &entry : fs::recursive_directory_iterator(dir)) {
    const std::string name = fs::relative(entry.path(), dir).string();
    if (name == ".console" || name == ".errors" || name == ".status" || name == ".script")
      continue;
    if (entry.is_symlink())
      files.emplace_back(name, "-> " + fs::read_symlink(entry.path()).string());
    else
      files.emplace_back(name, entry.is_regular_file() ? read_file(entry.path()) : "<folder>");
  }
  std::sort(files.begin(), files.end());
  return files;
}

} // namespace

// A check that cannot complete, or whose outputs would replace one another or an input (also
// through links, to files not made yet, or through standard output), ends with one line on
// standard error and leaves every input and every earlier output byte for byte. Each case runs
// an option-2 check on the files of tests/e2e's option-2 case; `earlier` first makes a complete
// check's outputs there.
TEST(Hostile, ACheckThatCannotCompleteTouchesNothing) {
  const std::string earlier = "'BIN' check --integrals bantrisk.ans --summary s.json --mask m.xml "
                              "--picture p.svg --save-integrals i.ans --quiet && test -s p.svg\n";
  const struct {
    const char *what;
    std::string setup; // BIN stands for the program
    std::string run;   // after "BIN check --integrals bantrisk.ans "
    int status;
    std::string error; // the first line on standard error; "@DIR@" stands for the folder
  } cases[] = {
      {"a picture that is the spectra file the list names",
       "printf '1\\n12 map.svg\\n' > list.png && cp spectra.dat map.svg",
       "--spectrum-list list.png --picture map.svg", 1,
       "the picture would replace @DIR@/map.svg, an input file of this check; name another with "
       "--picture"},
      {"results that are the spectra file the list names",
       "printf '1\\n12 r.dat\\n' > specfile.dat && cp spectra.dat r.dat", "--results r.dat", 1,
       "the results would replace @DIR@/r.dat, an input file of this check; name another with "
       "--results"},
      {"a summary linked to the spectra file", "ln -s spectra.dat s.json", "--summary s.json", 1,
       "the summary would replace @DIR@/spectra.dat, an input file of this check; name another "
       "with --summary"},
      {"a picture linked to the results file not made yet", "ln -s bantrisk.dat r.svg",
       "--picture r.svg", 2, "--picture names the same file as --results: r.svg"},
      {"two links to one file not made yet", "ln -s new.xml a.xml && ln -s new.xml b.json",
       "--mask a.xml --summary b.json", 2, "--summary names the same file as --mask: b.json"},
      {"one file through a link to its folder", "ln -s . here", "--results here/r.dat --mask r.dat",
       2, "--mask names the same file as --results: r.dat"},
      {"a link in another folder, relative to that folder", "mkdir d && ln -s ../p.svg d/q.svg",
       "--picture p.svg --picture d/q.svg", 2,
       "--picture names the same file as --picture: d/q.svg"},
      {"standard output into the spectra file named", "",
       "--spectra-file spectra.dat >> spectra.dat", 2,
       "standard output is the input file of --spectra-file: spectra.dat"},
      {"standard output into the spectra file the list names", "", ">> spectra.dat", 1,
       "standard output is @DIR@/spectra.dat, an input file of this check; send it to another "
       "file"},
      {"a missing integrals file after a complete check", earlier + "mv bantrisk.ans gone.ans",
       "--summary s.json --mask m.xml --picture p.svg --save-integrals i.ans", 1,
       "Failure locating file bantrisk.ans"},
      {"a spectra file of another run after a complete check",
       earlier + "printf '1\\n12 other.dat\\n' > specfile.dat && printf 't\\n1\\nc\\n101001 5\\n' "
                 "> other.dat",
       "--summary s.json --mask m.xml --picture p.svg --save-integrals i.ans", 1,
       "the spectra file @DIR@/other.dat (named in @DIR@/specfile.dat for 12 spectra) is for 5 "
       "spectra, but the run has 12; name the spectra file for 12 spectra with --spectra-file"},
      {"a picture in a missing folder, before any work", "", "--picture nodir/out.png", 1,
       "--picture: cannot create @DIR@/nodir/out.png: No such file or directory"},
      {"a mask in a missing folder", "", "--mask nodir/m.xml", 1,
       "--mask: cannot create @DIR@/nodir/m.xml: No such file or directory"},
      {"a picture named like a folder", "mkdir out.png", "--picture out.png", 1,
       "--picture: cannot create @DIR@/out.png: Is a directory"},
      {"results that cannot be completed", earlier,
       "--results /dev/full --summary s.json --mask m.xml --picture p.svg", 1,
       "error writing /dev/full: No space left on device; no file was replaced"},
      {"standard output that cannot take the JSON", earlier,
       "--summary - --mask m.xml --picture p.svg --quiet > /dev/full", 1,
       "--summary: error writing standard output: Input/output error; no file was replaced"},
      {"a summary that cannot be completed", earlier,
       "--summary /dev/full --mask m.xml --picture p.svg --save-integrals i.ans", 1,
       "--summary: error writing /dev/full: No space left on device; no file was replaced"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    fs::copy(option2_input, scratch.path(), fs::copy_options::recursive);
    write_file(".script", "set -e\n" + replace_all(c.setup, "BIN", BANTRISK_BINARY));
    ASSERT_EQ(std::system("sh .script"), 0);
    const auto before = contents(scratch.path());
    // Standard output goes to .console unless the case sends it elsewhere.
    const std::string out = c.run.find('>') == std::string::npos ? " > .console" : "";
    write_file(".script", "'" + std::string(BANTRISK_BINARY) + "' check --integrals bantrisk.ans " +
                              c.run + out + " 2> .errors\necho $? > .status\n");
    ASSERT_EQ(std::system("sh .script"), 0);
    EXPECT_EQ(std::atoi(read_file(".status").c_str()), c.status) << read_file(".errors");
    const std::string errors = read_file(".errors");
    EXPECT_EQ(errors.substr(0, errors.find('\n')),
              "bantrisk: " + replace_all(c.error, "@DIR@", scratch.str()))
        << errors;
    EXPECT_EQ(contents(scratch.path()), before);
    if (c.status == 2 || c.error.find("cannot create") != std::string::npos) {
      EXPECT_EQ(read_file(".console"), "") << "nothing of the check was done";
    }
  }
}
