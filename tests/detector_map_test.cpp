#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"
#include "lib/files.hpp"
#include "lib/text.hpp"

namespace bantrisk {
namespace {

namespace fs = std::filesystem;
using testing::ConsoleFixture;
using testing::Env;
using testing::read_file;
using testing::ScratchDir;
using testing::write_file;

// One loading step in a scratch folder, with the results file open as in the pass.
struct Load {
  explicit Load(const std::string &answers = "", Env env = {})
      : f(answers, std::move(env)), run(std::make_unique<RunState>()) {}

  void go(std::int32_t spectra) {
    run->spectra = spectra;
    int ierr = 0;
    open_new_file(f.io, "bantrisk.dat", results_unit, 0, ierr, 1, 0, 0);
    stopped = f.stops([&] { load_detector_map(f.io, *run); });
    f.io.close(results_unit);
    results = read_file("bantrisk.dat");
  }
  std::string console() const { return f.text(); }
  std::string spectra_name() const { return std::string(trimmed(run->spectra_name)); }

  ScratchDir dir;
  ConsoleFixture f;
  std::unique_ptr<RunState> run;
  bool stopped = false;
  std::string results;
};

std::string full(const fs::path &p) {
  return fs::absolute(p).lexically_normal().string();
}

// A spectra file of `n` entries, spectra 1..n, all in module 1W3.
std::string spectra_file(int n, int specified) {
  std::string s = "spectra file\n" + std::to_string(specified) + "\ncode spectrum\n";
  for (int i = 1; i <= n; ++i)
    s += "113045 " + std::to_string(i) + "\n";
  return s;
}

std::string reading_line(const std::string &list_name) {
  return " Reading spectrum file information from: " + fixed_text(list_name, 30) + "\n";
}

TEST(DetectorMap, LoadsTheSpectraFileOfTheList) {
  Load l;
  write_file("specfile.dat", "2 lists\n5 five.dat\n3 three.dat\n");
  write_file("three.dat", spectra_file(3, 3));
  l.go(3);
  const std::string list = full("specfile.dat");
  const std::string spectra = full("three.dat");
  EXPECT_FALSE(l.stopped);
  EXPECT_EQ(l.console(), reading_line("specfile.dat") + " File found : " + list + "\n" +
                             " File found : " + spectra + "\n" +
                             " Spectrum file: " + fixed_text(spectra, 60) + "\n" +
                             " Number of entries read from spectra file = 3\n"
                             " Largest spectrum number = 3\n");
  EXPECT_EQ(l.results, "Spectrum file: " + fixed_text(spectra, 60) + "\n");
  EXPECT_EQ(l.run->map.entries, 3);
  EXPECT_EQ(l.run->map.specified, 3);
  EXPECT_EQ(l.run->map.largest, 3);
  EXPECT_EQ(l.run->list_name, fixed_text(list, 80));
  for (int i = 1; i <= 3; ++i) {
    EXPECT_EQ(l.run->map.bank[i], 1);
    EXPECT_EQ(l.run->map.side[i], 1);
    EXPECT_EQ(l.run->map.module[i], 3);
    EXPECT_EQ(l.run->map.element[i], 45);
    EXPECT_EQ(l.run->map.in_module[i], 1);
  }
}

TEST(DetectorMap, SearchOfTheList) {
  struct Case {
    const char *what;
    std::string list;
    std::int32_t spectra;
    std::string answers;
    std::string chosen;  // the spectra file used
    std::string message; // "" when the list gave the file
  };
  const std::string name78(78, 'n');
  const Case cases[] = {
      {"first of two matches", "2\n3 a.dat\n3 b.dat\n", 3, "", "a.dat", ""},
      {"count 0, matching first line", "0\n3 a.dat\n", 3, "", "a.dat", ""},
      {"count -4, matching first line", "-4\n3 a.dat\n", 3, "", "a.dat", ""},
      {"words after the name belong to it", "1\n  3\tb.dat  and more \n", 3, "", "b.dat  and more",
       ""},
      {"name cut at column 80", "1\n3 " + name78 + "TAIL\n", 3, "", name78, ""},
      {"comma after the number", "1\n3, a.dat\n", 3, "", "a.dat", ""},
      {"lines after the count are not read", "1\n5 x.dat\n3 a.dat\n", 3, "b.dat\n", "b.dat",
       "Appropriate spectrum file not found in "},
      {"list ends early", "3\n5 x.dat\n", 3, "b.dat\n", "b.dat", "Error reading data from "},
      {"blank list line", "2\n\n3 a.dat\n", 3, "b.dat\n", "b.dat", "Error reading data from "},
      {"line not starting with a whole number", "2\nthree x.dat\n3 a.dat\n", 3, "b.dat\n", "b.dat",
       "Error reading data from "},
      {"a line with no number never matches", "2\n/ x.dat\n3 a.dat\n", 3, "", "a.dat", ""},
      {"null first value never matches", "2\n, x.dat\n0 c.dat\n", 0, "", "c.dat", ""},
      {"no default: asked again until answered", "1\n5 x.dat\n", 3, "\n\na.dat\n", "a.dat",
       "Appropriate spectrum file not found in "},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Load l(c.answers);
    write_file("specfile.dat", c.list);
    for (const std::string name : {"a.dat", "b.dat", "b.dat  and more", name78.c_str()})
      write_file(name, spectra_file(3, 3));
    write_file("c.dat", spectra_file(0, 0));
    l.go(c.spectra);
    EXPECT_FALSE(l.stopped);
    EXPECT_EQ(l.spectra_name(), full(c.chosen));
    const std::string list = full("specfile.dat");
    std::string expected = reading_line("specfile.dat") + " File found : " + list + "\n";
    if (!c.message.empty()) {
      expected += " " + c.message + fixed_text(list, 40) + "\n";
      for (char ch : c.answers)
        if (ch == '\n')
          expected += " Give spectrum file > ";
    }
    // A shown full name is cut to its first 80 characters.
    expected += " File found : " + full(c.chosen).substr(0, 80) + "\n";
    EXPECT_EQ(l.console().substr(0, expected.size()), expected);
  }
}

TEST(DetectorMap, ListNameFromZR) {
  struct Case {
    const char *what;
    std::string dir; // folder holding the list, relative to the scratch folder
    std::string z_r; // value of Z_R; "$" stands for the scratch folder
  };
  const std::string long_dir = std::string(60, 'p') + "/" + std::string(40, 'q');
  const Case cases[] = {
      {"ending in a separator", "lists", "lists/"},
      {"absolute folder", "lists", "$/lists/"},
      {"cut before two blanks", "lists", "lists/  other/"},
      {"79 characters, no pair of blanks", std::string(78, 'x'), std::string(78, 'x') + "/"},
      {"longer than 80 characters", long_dir, long_dir + "/"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    ScratchDir scratch;
    std::string value = c.z_r;
    if (value.front() == '$')
      value = scratch.str() + value.substr(1);
    Load l("", Env{{"Z_R", value}});
    // A relative Z_R is taken from the current folder, the one of the loading step.
    const fs::path folder = c.z_r.front() == '$' ? scratch.path() / c.dir : fs::path(c.dir);
    fs::create_directories(folder);
    write_file(folder / "specfile.dat", "1\n2 s.dat\n");
    write_file("s.dat", spectra_file(2, 2));
    l.go(2);
    EXPECT_FALSE(l.stopped);
    const std::string given = value.substr(0, value.find("  ")) + "specfile.dat";
    const std::string list = full(folder / "specfile.dat");
    const std::string expected = reading_line(given) + " File found : " + list.substr(0, 80) + "\n";
    EXPECT_EQ(l.console().substr(0, expected.size()), expected);
    EXPECT_EQ(l.run->list_name, list.size() < 80 ? fixed_text(list, 80) : list);
    EXPECT_EQ(l.run->map.entries, 2);
  }
}

TEST(DetectorMap, MissingFilesAreAskedFor) {
  {
    SCOPED_TRACE("missing list, empty answer: the program ends");
    Load l("\n");
    l.go(3);
    EXPECT_TRUE(l.stopped);
    EXPECT_EQ(l.console(), reading_line("specfile.dat") + " Failure locating file specfile.dat\n"
                                                          " Give file name or return to stop > ");
    EXPECT_EQ(l.results, "");
  }
  {
    SCOPED_TRACE("missing list replaced by another");
    Load l("other.lst\n");
    write_file("other.lst", "1\n3 a.dat\n");
    write_file("a.dat", spectra_file(3, 3));
    l.go(3);
    EXPECT_FALSE(l.stopped);
    EXPECT_EQ(l.run->list_name, fixed_text(full("other.lst"), 80));
    EXPECT_EQ(l.spectra_name(), full("a.dat"));
  }
  {
    SCOPED_TRACE("matching line without a name: treated as a missing spectra file");
    Load l("a.dat\n");
    write_file("specfile.dat", "1\n3\n");
    write_file("a.dat", spectra_file(3, 3));
    l.go(3);
    EXPECT_FALSE(l.stopped);
    EXPECT_NE(l.console().find(" Failure locating file \n Give file name or return to stop >  "
                               "File found : " +
                               full("a.dat") + "\n"),
              std::string::npos)
        << l.console();
  }
}

TEST(DetectorMap, UnreadableFilesEndTheProgram) {
  struct Case {
    const char *what;
    std::string list, spectra, last_line;
  };
  const Case cases[] = {
      {"list without its count", "", spectra_file(3, 3),
       " Error reading the number of list lines from "},
      {"list count not a whole number", "x\n3 a.dat\n", spectra_file(3, 3),
       " Error reading the number of list lines from "},
      {"spectra file of two lines", "1\n3 a.dat\n", "t\n3\n",
       " Error reading the header lines of "},
      {"entry that is not a whole number", "1\n3 a.dat\n", "t\n1\nc\n113045 x\n",
       " ** Error reading spectra file **"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Load l;
    write_file("specfile.dat", c.list);
    write_file("a.dat", c.spectra);
    l.go(3);
    EXPECT_TRUE(l.stopped);
    const std::string text = l.console();
    const std::size_t last = text.rfind('\n', text.size() - 2) + 1;
    EXPECT_EQ(text.substr(last, c.last_line.size()), c.last_line) << text;
  }
}

TEST(DetectorMap, CountChecks) {
  struct Case {
    const char *what;
    int entries, specified;
    std::int32_t spectra;
    bool stops;
    std::string after_counts;
  };
  const std::string inconsistent =
      " ** Error : inconsistent number of entries specified & found **\n"
      " Specified number of entries = 5\n";
  const std::string unexpected = " ** ERROR: spectrum file has unexpected number of spectra\n";
  const Case cases[] = {
      {"wrong specified count only warns", 3, 5, 3, false, inconsistent},
      {"largest differs from the run", 3, 3, 4, true, unexpected},
      {"both", 3, 5, 2, true, inconsistent + unexpected},
      {"no entries for a run of no spectra", 0, 0, 0, false, ""},
      {"no entries for a run with spectra", 0, 0, 1, true, unexpected},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Load l;
    write_file("specfile.dat", "1\n" + std::to_string(c.spectra) + " a.dat\n");
    write_file("a.dat", spectra_file(c.entries, c.specified));
    l.go(c.spectra);
    EXPECT_EQ(l.stopped, c.stops);
    const std::string counts = " Largest spectrum number = " + std::to_string(c.entries) + "\n";
    const std::size_t at = l.console().find(counts);
    ASSERT_NE(at, std::string::npos);
    EXPECT_EQ(l.console().substr(at + counts.size()), c.after_counts);
    // The results file has the spectra file line only.
    EXPECT_EQ(l.results.size(), 76u);
  }
}

TEST(DetectorMap, EntriesOutsideTheModulesAreReportedAndLeftOut) {
  struct Entry {
    const char *text; // as written in the file, from line 4 on
    int in_module;
    std::string warning; // "" when none
  };
  const Entry entries[] = {
      {"113045 1", 1, ""},
      {"-5 2", 0, "detector code -5 (spectrum 2) names no detector module"},
      {"1013001 3", 0, "detector code 1013001 (spectrum 3) names no detector module"},
      {"104001 4", 0, "detector code 104001 (spectrum 4) names no detector module"},
      {"901050 5", 0, ""}, // bank 9: no module, but a valid entry
      {"101250 6", 0, ""}, // element group 2
      {"841001 7", 0, "detector code 841001 (spectrum 7) names no detector module"},
      {"113045 0", 0, "spectrum number 0 (detector code 113045) is outside 1 to 20000"},
      {"901050 -3", 0, "spectrum number -3 (detector code 901050) is outside 1 to 20000"},
      {"121001 8", 0, "detector code 121001 (spectrum 8) names no detector module"},
      {"543001 9", 0, "detector code 543001 (spectrum 9) names no detector module"},
      {"821005 10", 1, ""},
      {"523150\n 10", 1, ""}, // over two lines
      {"-150 10", 0, "detector code -150 (spectrum 10) names no detector module"},
  };
  std::string file = "t\n14\nc\n";
  std::string warnings;
  int line = 4;
  for (const auto &e : entries) {
    file += std::string(e.text) + "\n";
    if (!e.warning.empty())
      warnings += " ** WARNING: spectra file line " + std::to_string(line) + ": " + e.warning +
                  "; entry left out of the checks\n";
    line += std::string(e.text).find('\n') == std::string::npos ? 1 : 2;
  }
  Load l;
  write_file("specfile.dat", "1\n10 a.dat\n");
  write_file("a.dat", file);
  l.go(10);
  EXPECT_FALSE(l.stopped);
  ASSERT_EQ(l.run->map.entries, 14);
  const std::string counts = " Largest spectrum number = 10\n";
  const std::size_t at = l.console().find(counts);
  ASSERT_NE(at, std::string::npos);
  EXPECT_EQ(l.console().substr(at + counts.size()), warnings);
  for (std::size_t i = 0; i < std::size(entries); ++i)
    EXPECT_EQ(l.run->map.in_module[i + 1], entries[i].in_module) << entries[i].text;
  EXPECT_EQ(l.run->map.in_module[15], 0);
  // The split is kept for every entry, counted or not.
  EXPECT_EQ(l.run->map.bank[12], 0);
  EXPECT_EQ(l.run->map.side[12], 2);
  EXPECT_EQ(l.run->map.module[13], 12);
  EXPECT_EQ(l.run->map.group[5], 2);
}

} // namespace
} // namespace bantrisk
