#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"
#include "lib/detector_numbering.hpp"
#include "map_builder.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

// A detector map with the dead-spectra section run on it (its output is not looked at here),
// so that the averages are in place.
struct Checked : MapBuilder {
  using Output = SectionOutput;

  // Runs the low/high section with `answers`; the results text is what the section wrote.
  Output low_high(const std::string &answers) {
    RunState &r = *state;
    list_zero_counts();
    ConsoleFixture before("0\n");
    dead_spectra_section(before.io, r);
    return run_section(r, answers, low_high_section);
  }
};

const std::string heading = "\n ** LOW/HIGH SPECTRA SECTION **\n\n";

std::string limit_lines(const std::vector<std::string> &low_high_fields) {
  std::string out;
  for (int slot = 1; slot <= 8; ++slot)
    out += " For bank " + std::to_string(slot) +
           ":  Low spectrum limit = " + low_high_fields[static_cast<std::size_t>(2 * slot - 2)] +
           "  High spectrum limit = " + low_high_fields[static_cast<std::size_t>(2 * slot - 1)] +
           "\n";
  return out;
}

const std::vector<std::string> built_in_limits = {
    "   0.1000", "   1.9000", "   0.2500", "   2.5000", "   0.4400", "   1.6400",
    "   0.5500", "   1.6500", "   0.7500", "   1.2500", "   0.4400", "   1.6400",
    "   0.1000", "   1.6400", "   0.2000", "   1.6400"};

// Bank 3 with four one-spectrum modules 3E1..3E4 of the given counts.
Checked bank_three(const std::vector<std::int32_t> &counts) {
  Checked c;
  for (std::size_t k = 0; k < counts.size(); ++k)
    c.add(301000 + 1000 * static_cast<std::int32_t>(k), static_cast<std::int32_t>(k + 1),
          counts[k]);
  return c;
}

} // namespace

TEST(LowHighModules, FractionsAndStrictComparisons) {
  struct Case {
    const char *what;
    std::vector<std::int32_t> counts; // averages of 3E1..3E4; the bank average is their mean
    std::string fractions;            // answers to the two fraction questions
    std::string limit_line;
    std::string reported;
  };
  const std::vector<Case> cases = {
      {"defaults, 0.25 and 1.6 of the bank average",
       {25, 160, 100, 115},
       "\n\n",
       " Low module limit =   0.3000  High module limit =   1.5000",
       " Module 3E1  is low with ratio =   0.2500\n"
       " Module 3E2  is high with ratio =   1.6000\n"},
      {"ratios equal to the fractions",
       {50, 150, 100, 100},
       "0.5\n1.5\n",
       " Low module limit =   0.5000  High module limit =   1.5000",
       ""},
      {"just inside",
       {50, 150, 100, 100},
       "0.5\n1.4999\n",
       " Low module limit =   0.5000  High module limit =   1.4999",
       " Module 3E2  is high with ratio =   1.5000\n"},
      {"dead modules are not searched",
       {0, 0, 100, 100},
       "\n\n",
       " Low module limit =   0.3000  High module limit =   1.5000",
       ""},
      // With a negative module the bank average is 1/3: 3E2's ratio of 3000 does not fit.
      {"ratio too wide for its field",
       {-1000, 1000, 1},
       "\n\n",
       " Low module limit =   0.3000  High module limit =   1.5000",
       " Module 3E2  is high with ratio = ********\n"
       " Module 3E3  is high with ratio =   3.0000\n"},
  };
  for (const Case &c : cases) {
    Checked run = bank_three(c.counts);
    const auto out = run.low_high(c.fractions + "9\n");
    const std::string want =
        heading + c.limit_line + "\n" + c.reported + "\n" + limit_lines(built_in_limits);
    EXPECT_EQ(out.results, want) << c.what;
    EXPECT_EQ(out.console.find(heading +
                               " Searching for low/high modules...\n"
                               " Search for modules below a given fraction of the average counts\n"
                               " Search for modules above a given fraction of the average counts\n"
                               "\n Give low fraction ("),
              0u)
        << c.what;
    EXPECT_NE(out.console.find("\n" + c.reported + "\n Searching for low/high spectra...\n"),
              std::string::npos)
        << c.what;
  }
}

TEST(LowHighModules, ZeroBankAverageGivesAnInfiniteRatioWithoutACrash) {
  // 4E1 averages -50 and 4E2 +50: the bank average is 0 and 4E2's ratio is infinite.
  Checked run;
  run.add(401000, 1, -50);
  run.add(402000, 2, 50);
  const auto out = run.low_high("\n\n9\n");
  EXPECT_NE(out.results.find("\n Module 4E2  is high with ratio = ********\n"), std::string::npos)
      << out.results;
}

TEST(LowHighLimits, DialogueChangesOneBankAndShowsTheLimitsAgain) {
  struct Case {
    const char *what;
    std::string answers; // after the two fractions
    int shown;           // times the eight limit lines and the bank question are shown
    std::vector<std::string> final_limits;
  };
  std::vector<std::string> slot3 = built_in_limits;
  slot3[4] = "   0.5000";
  slot3[5] = "   2.0000";
  std::vector<std::string> slot8 = built_in_limits;
  slot8[14] = "   0.0000";
  slot8[15] = "*********";
  const std::vector<Case> cases = {
      {"accept", "9\n", 1, built_in_limits},
      {"accept by default", "\n", 1, built_in_limits},
      {"bank 3 then continue", "3\n0.5 2.0\n9\n", 2, slot3},
      {"numbers outside 1..9 ask again", "12\n0\n-1\n9\n", 4, built_in_limits},
      {"bank 3 then 12", "3\n0.5 2.0\n12\n9\n", 3, slot3},
      {"limit too wide for its field", "8\n0 10000\n9\n", 2, slot8},
  };
  for (const Case &c : cases) {
    Checked run = bank_three({100, 100});
    const auto out = run.low_high("\n\n" + c.answers);
    const std::string question = " Give number of bank to modify, or 9 to continue (9) > ";
    EXPECT_EQ(occurrences(out.console, question), static_cast<std::size_t>(c.shown)) << c.what;
    EXPECT_EQ(occurrences(out.console, " For bank 5:  Low spectrum limit = "),
              static_cast<std::size_t>(c.shown))
        << c.what;
    EXPECT_NE(out.console.find("\n Searching for low/high spectra...\n"
                               " Search for spectra below a given fraction of the average counts\n"
                               " Search for spectra above a given fraction of the average counts\n"
                               "\n" +
                               limit_lines(built_in_limits) + question),
              std::string::npos)
        << c.what;
    EXPECT_EQ(out.results.substr(out.results.size() - limit_lines(c.final_limits).size()),
              limit_lines(c.final_limits))
        << c.what;
  }
}

TEST(LowHighSpectra, ReportsFlagsAndEmptyLines) {
  Checked run;
  // 3E1: average 500 / 5 = 100; spectrum 5 is dead.
  run.add(301001, 1, 20);  // 0.2: low
  run.add(301002, 2, 50);  // 0.5: equal to the low limit
  run.add(301003, 3, 200); // 2.0: equal to the high limit
  run.add(301004, 4, 20);  // low
  run.add(301005, 5, 0);   // dead: not searched
  // 3E2: average 100.
  run.add(302001, 6, 10);  // low
  run.add(302002, 7, 250); // high
  run.add(302003, 8, 70);
  run.add(302004, 9, 70);
  // 3E1 again, after 3E2's lines.
  run.add(301006, 10, 210); // 2.1: high
  // Not in any module: element group 2, bank 9.
  run.add(301250, 12, 1);
  run.add(901000, 13, 5000);
  run.state->flags[5] = 0; // a dead spectrum keeps what it had

  const auto out = run.low_high("\n\n3\n0.5 2.0\n9\n");
  std::vector<std::string> limits = built_in_limits;
  limits[4] = "   0.5000";
  limits[5] = "   2.0000";
  const std::string lines = "\n"
                            " Spectrum     1 in module 3E1  is low with ratio =   0.2000\n"
                            " Spectrum     4 in module 3E1  is low with ratio =   0.2000\n"
                            "\n"
                            " Spectrum     6 in module 3E2  is low with ratio =   0.1000\n"
                            " Spectrum     7 in module 3E2  is high with ratio =   2.5000\n"
                            "\n"
                            " Spectrum    10 in module 3E1  is high with ratio =   2.1000\n";
  EXPECT_EQ(out.results, heading + " Low module limit =   0.3000  High module limit =   1.5000\n" +
                             "\n" + limit_lines(limits) + lines);
  const std::string console_end =
      limit_lines(limits) + " Give number of bank to modify, or 9 to continue (9) > " + lines;
  EXPECT_EQ(out.console.substr(out.console.size() - console_end.size()), console_end);

  const std::vector<std::int32_t> want_flags = {0, 1, 1, 0, 0, 0, 0, 1, 1, 0, 1, 1, 1};
  for (std::size_t s = 1; s <= want_flags.size(); ++s)
    EXPECT_EQ(run.state->flags[s], want_flags[s - 1]) << "spectrum " << s;
}

TEST(LowHighSpectra, OutOfRangeValuesFillTheirFields) {
  struct Case {
    const char *what;
    std::int32_t code, spectrum;
    std::vector<std::int32_t> counts; // spectra of the module, `spectrum` first
    std::string line;
  };
  const std::vector<Case> cases = {
      // 1E1 averages (1000 - 999) / 2 = 0.5: the ratio of spectrum 1 is 2000.
      {"ratio of 1000 or more",
       101000,
       1,
       {1000, -999},
       " Spectrum     1 in module 1E1  is high with ratio = ********"},
      // A module whose total is 0 although one spectrum has counts: its average is 0.
      {"zero module average",
       101000,
       1,
       {100, -100},
       " Spectrum     1 in module 1E1  is high with ratio = ********"},
  };
  for (const Case &c : cases) {
    Checked run;
    for (std::size_t k = 0; k < c.counts.size(); ++k)
      run.add(c.code + static_cast<std::int32_t>(k), c.spectrum + static_cast<std::int32_t>(k),
              c.counts[k]);
    const auto out = run.low_high("\n\n9\n");
    EXPECT_NE(out.results.find(c.line + "\n"), std::string::npos) << c.what << out.results;
    EXPECT_EQ(run.state->flags[static_cast<std::size_t>(c.spectrum)], 0) << c.what;
  }
}
