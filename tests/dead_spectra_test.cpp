#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/checks.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"
#include "lib/detector_numbering.hpp"
#include "map_builder.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

struct MapRun : MapBuilder {
  void finish() { list_zero_counts(); }
};

using Output = SectionOutput;

Output dead_section(RunState &run, const std::string &answers) {
  return run_section(run, answers, dead_spectra_section);
}

// A free-format line of a dead-spectra line text: one blank, then the text blank-padded to 79.
std::string list_line(const std::string &text) {
  std::string t = text;
  if (t.size() < 79)
    t.resize(79, ' ');
  return " " + t + "\n";
}

std::string bank_lines(const std::vector<std::pair<int, int>> &dead_and_total) {
  std::string out;
  for (int slot = 1; slot <= 8; ++slot) {
    const auto [dead, total] = dead_and_total[static_cast<std::size_t>(slot - 1)];
    out += " In bank " + std::to_string(slot) + " there are " + std::to_string(dead) +
           " dead spectra, out of a total " + std::to_string(total) + "\n";
  }
  return out;
}

} // namespace

TEST(DeadSpectraTexts, LayoutOfEntriesAndGaps) {
  struct Case {
    const char *what;
    std::vector<std::int32_t> dead;
    std::vector<std::string> texts; // before padding to 79
  };
  const std::vector<Case> cases = {
      {"none", {}, {}},
      {"one", {7}, {" 7"}},
      {"gaps", {101, 102, 103, 108}, {" 101 (1) 102 (1) 103 (5) 108"}},
      {"listed twice", {300, 300}, {" 300 (0) 300"}},
      {"exactly eight", {1, 2, 3, 4, 5, 6, 7, 9}, {" 1 (1) 2 (1) 3 (1) 4 (1) 5 (1) 6 (1) 7 (2) 9"}},
      {"nine",
       {201, 202, 203, 204, 205, 206, 207, 208, 219},
       {" 201 (1) 202 (1) 203 (1) 204 (1) 205 (1) 206 (1) 207 (1) 208 (11)", " 219"}},
      {"five digits overflow 79",
       {10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008, 10009},
       {" 10001 (1) 10002 (1) 10003 (1) 10004 (1) 10005 (1) 10006 (1) 10007 (1) 10008 (1)",
        " 10009"}},
      {"wide gap on the last line", {5, 19999}, {" 5 (19994) 19999"}},
  };
  for (const Case &c : cases) {
    std::vector<std::string> want;
    for (const std::string &t : c.texts)
      want.push_back(t.size() < 79 ? t + std::string(79 - t.size(), ' ') : t);
    EXPECT_EQ(dead_spectra_texts(c.dead), want) << c.what;
  }
}

TEST(ReportDeadSpecInMod, FullLinesLoseTheirLastColumnOnTheConsoleOnly) {
  struct Case {
    const char *what;
    std::vector<std::int32_t> dead;
    std::string full; // text of the first (full) line
  };
  // 1000..1060 by tens then 1070 (1): seven entries of 10 characters and one of 9 fill all 79.
  const std::vector<Case> cases = {
      {"short full line",
       {201, 202, 203, 204, 205, 206, 207, 208, 209},
       " 201 (1) 202 (1) 203 (1) 204 (1) 205 (1) 206 (1) 207 (1) 208 (1)"},
      {"full line of exactly 79",
       {1000, 1010, 1020, 1030, 1040, 1050, 1060, 1070, 1071},
       " 1000 (10) 1010 (10) 1020 (10) 1030 (10) 1040 (10) 1050 (10) 1060 (10) 1070 (1)"},
      {"full line longer than 79",
       {10001, 10002, 10003, 10004, 10005, 10006, 10007, 10008, 10009},
       " 10001 (1) 10002 (1) 10003 (1) 10004 (1) 10005 (1) 10006 (1) 10007 (1) 10008 (1)"},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    ConsoleFixture fx;
    int error = 0;
    fx.io.connect(results_unit, ReplacingFile::create("r.txt", error));
    auto modules = std::make_unique<ModuleTables>();
    modules->dead[17] = static_cast<std::int32_t>(c.dead.size());
    modules->dead_list[17] = c.dead;
    reportdeadspecinmod(fx.io, *modules, 17, results_unit);
    fx.io.close(results_unit);

    const std::string &full = c.full;
    const std::string last = list_line(" " + std::to_string(c.dead.back()));
    const std::string console_full =
        full.size() <= 79 ? " " + list_line(full).substr(1, 78) + "\n" : " " + full + "\n";
    const std::string results_full = full.size() <= 79 ? list_line(full) : " " + full + "\n";
    EXPECT_EQ(fx.text(), console_full + last) << c.what;
    EXPECT_EQ(read_file(dir.path() / "r.txt"), results_full + last) << c.what;
  }
}

TEST(DeadSpectraSection, NoZeroCountSpectra) {
  MapRun run;
  run.add(101001, 1, 10); // 1E1
  run.add(101002, 2, 20);
  run.add(801000, 3, 30); // bank 8, held as 0: slot 8
  run.add(901000, 4, 40); // bank 9: no module
  run.finish();
  const Output out = dead_section(*run.state, "\n");

  const std::string banks =
      bank_lines({{0, 2}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 1}});
  const std::string dead_modules =
      " Number of dead modules = 0\n The following modules are dead...\n \n";
  EXPECT_EQ(out.results, "\n" + banks + "\n" + dead_modules);
  EXPECT_EQ(out.console, "\n Ideal number of modules in instrument = 98\n\n" + banks + "\n" +
                             dead_modules + "\n" +
                             " Give 1 to output counts per spectrum data, 0 otherwise (0) > ");
  EXPECT_EQ(run.state->ideal_modules, 98);
  EXPECT_EQ(run.state->dead_module_count, 0);
}

TEST(DeadSpectraSection, DeadModulesPartlyDeadBlocksAndAverages) {
  MapRun run;
  // 1E1: 24 spectra, 5, 6 and 20 dead, the others 100 counts: average over 21 live spectra.
  for (int s = 1; s <= 24; ++s)
    run.add(101000 + s, s, (s == 5 || s == 6 || s == 20) ? 0 : 100);
  // 1E2: completely dead.
  for (int s = 25; s <= 27; ++s)
    run.add(102000 + s, s, 0);
  // 2E1: spectrum 300 listed twice.
  run.add(201001, 300, 0);
  run.add(201002, 300, 0);
  run.add(201003, 301, 40);
  // 3E1: nine dead of ten.
  for (int s = 201; s <= 209; ++s)
    run.add(301000 + s - 200, s, 0);
  run.add(301010, 210, 50);
  // Dead spectra that belong to no module: element group 2, bank 9.
  run.add(101250, 400, 0);
  run.add(901001, 401, 0);
  run.finish();
  const Output out = dead_section(*run.state, "1\n");

  const std::string expected =
      "\n" + bank_lines({{6, 27}, {2, 3}, {9, 10}, {0, 0}, {0, 0}, {0, 0}, {0, 0}, {0, 0}}) + "\n" +
      " Number of dead modules = 1\n"
      " The following modules are dead...\n"
      " 1E2  \n"
      "\n"
      " Number of dead spectra in module 1E1  = 3 (out of a total 24)\n"
      " Dead spectra in this module...\n" +
      list_line(" 5 (1) 6 (14) 20") +
      "\n"
      " Number of dead spectra in module 1E2  = 3 (out of a total 3)\n"
      " ** MODULE 1E2  IS COMPLETELY DEAD **\n"
      " Dead spectra in this module...\n" +
      list_line(" 25 (1) 26 (1) 27") +
      "\n"
      " Number of dead spectra in module 2E1  = 2 (out of a total 3)\n"
      " Dead spectra in this module...\n" +
      list_line(" 300 (0) 300") +
      "\n"
      " Number of dead spectra in module 3E1  = 9 (out of a total 10)\n"
      " Dead spectra in this module...\n" +
      list_line(" 201 (1) 202 (1) 203 (1) 204 (1) 205 (1) 206 (1) 207 (1) 208 (1)") +
      list_line(" 209") +
      "\n"
      " Module 1E1  has  24 spectra and        100.0 counts per spectrum\n"
      " Module 1E2  has   3 spectra and          0.0 counts per spectrum\n"
      " Module 2E1  has   3 spectra and         40.0 counts per spectrum\n"
      " Module 3E1  has  10 spectra and         50.0 counts per spectrum\n"
      "\n"
      " Bank 1 has average counts per spectrum =        100.0\n"
      " Bank 2 has average counts per spectrum =         40.0\n"
      " Bank 3 has average counts per spectrum =         50.0\n"
      " Bank 4 has average counts per spectrum =          0.0\n"
      " Bank 5 has average counts per spectrum =          0.0\n"
      " Bank 6 has average counts per spectrum =          0.0\n"
      " Bank 7 has average counts per spectrum =          0.0\n"
      " Bank 8 has average counts per spectrum =          0.0\n";
  EXPECT_EQ(out.results, expected);

  const RunState &r = *run.state;
  EXPECT_EQ(r.dead_module_count, 1);
  EXPECT_EQ(r.modules.dead_list[11], (std::vector<std::int32_t>{300, 300}));
  EXPECT_EQ(r.banks.live_modules[1], 1); // 1E1 only: 1E2 is dead
  // The console shows the same report lines, each before its copy in the results file.
  EXPECT_NE(out.console.find(" 1E2  \n\n Number of dead spectra in module 1E1 "),
            std::string::npos);
  EXPECT_NE(out.console.find(" Bank 8 has average counts per spectrum =          0.0\n"),
            std::string::npos);
}

TEST(DeadSpectraSection, AveragesKeepSixtyFourBitTotalsAndSinglePrecision) {
  struct Case {
    const char *what;
    std::vector<std::int32_t> counts; // the spectra of module 1E1
    std::string module_line, bank_line;
  };
  const std::vector<Case> cases = {
      // 4000000000 overflows 32 bits; the module total must not.
      {"large total",
       {2000000000, 2000000000},
       " Module 1E1  has   2 spectra and 2000000000.0 counts per spectrum",
       " Bank 1 has average counts per spectrum = 2000000000.0"},
      // 16777217 is not a single-precision value: the average is rounded to 16777216.
      {"quotient rounded to float",
       {16777217},
       " Module 1E1  has   1 spectra and   16777216.0 counts per spectrum",
       " Bank 1 has average counts per spectrum =   16777216.0"},
      // A live module may have negative counts (no division by zero, no crash).
      {"negative total",
       {-30, 0, 10},
       " Module 1E1  has   3 spectra and        -10.0 counts per spectrum",
       " Bank 1 has average counts per spectrum =        -10.0"},
  };
  for (const Case &c : cases) {
    MapRun run;
    for (std::size_t k = 0; k < c.counts.size(); ++k)
      run.add(101001 + static_cast<std::int32_t>(k), static_cast<std::int32_t>(k + 1), c.counts[k]);
    run.finish();
    const Output out = dead_section(*run.state, "1\n");
    EXPECT_NE(out.results.find(c.module_line + "\n"), std::string::npos) << c.what << out.results;
    EXPECT_NE(out.results.find(c.bank_line + "\n"), std::string::npos) << c.what;
  }
}

TEST(DeadSpectraSection, BankAverageIsTheMeanOfLiveModuleAverages) {
  MapRun run;
  run.add(301001, 1, 10); // 3E1: 10
  run.add(302001, 2, 20); // 3E2: (20 + 40) / 2 = 30
  run.add(302002, 3, 40);
  run.add(303001, 4, 0); // 3E3: dead, not a live module
  run.add(305001, 5, 7); // 3E5: 7
  run.finish();
  const Output out = dead_section(*run.state, "1\n");
  // (10 + 30 + 7) / 3 = 15.666.. shown as 15.7
  EXPECT_NE(out.results.find(" Bank 3 has average counts per spectrum =         15.7\n"),
            std::string::npos)
      << out.results;
  EXPECT_EQ(run.state->banks.live_modules[3], 3);
  EXPECT_NE(out.results.find(" Number of dead modules = 1\n The following modules are dead...\n"
                             " 3E3  \n"),
            std::string::npos);
}

TEST(DeadSpectraSection, ManyDeadModulesStayOnOneListLine) {
  MapRun run;
  // Every module of banks 1 to 3: 20 dead modules, a list of 100 characters.
  std::string list;
  std::int32_t s = 0;
  for (int bank = 1; bank <= 3; ++bank)
    for (int side = 0; side <= 1; ++side)
      for (int m = 1; m <= default_modules_per_side[static_cast<std::size_t>(bank - 1)]; ++m) {
        run.add(bank * 100000 + side * 10000 + m * 1000, ++s, 0);
        list += module_label(bank, side, m) + " ";
      }
  run.finish();
  const Output out = dead_section(*run.state, "0\n");
  EXPECT_EQ(run.state->dead_module_count, 20);
  EXPECT_NE(out.results.find(" Number of dead modules = 20\n The following modules are dead...\n " +
                             list + "\n"),
            std::string::npos);
}

TEST(DeadSpectraSection, ModulesAbsentFromTheMapAreNotReported) {
  MapRun run;
  run.add(101001, 1, 0); // 1E1: dead
  run.add(101150, 2, 0); // element group 1 belongs to the module
  run.add(101200, 3, 0); // element group 2 belongs to none
  run.add(102001, 4, 0); // 1E2: partly dead
  run.add(102002, 5, 9);
  run.finish();
  const Output out = dead_section(*run.state, "1\n");
  EXPECT_NE(out.results.find(" In bank 1 there are 3 dead spectra, out of a total 4\n"),
            std::string::npos);
  EXPECT_NE(out.results.find(" 1E1  \n"), std::string::npos);
  // Only the two modules with entries get a counts line.
  EXPECT_NE(
      out.results.find("\n\n Module 1E1  has   2 spectra and          0.0 counts per spectrum\n"
                       " Module 1E2  has   2 spectra and          9.0 counts per spectrum\n\n"),
      std::string::npos)
      << out.results;
}
