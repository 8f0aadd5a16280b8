#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "dataaccess/dataaccess.hpp"
#include "driver/raw_data.hpp"
#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"
#include "lib/files.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

// A run whose spectra 1..analysed hold 1 except the listed zero-count spectra.
std::unique_ptr<RunState> run_with_zeros(std::int32_t analysed,
                                         const std::vector<std::int32_t> &zeros) {
  auto run = std::make_unique<RunState>();
  run->analysed = analysed;
  for (std::int32_t s = 1; s <= analysed; ++s)
    run->integrals[static_cast<std::size_t>(s)] = 1;
  for (const std::int32_t s : zeros)
    run->integrals[static_cast<std::size_t>(s)] = 0;
  return run;
}

// The report's console text and results file.
struct Report {
  std::string console;
  std::string results;
};

Report report_of(RunState &run) {
  ScratchDir dir;
  ConsoleFixture f;
  int ierr = 0;
  open_new_file(f.io, "bantrisk.dat", results_unit, 0, ierr, 0, 0, 0);
  zero_count_report(f.io, run);
  f.io.close(results_unit);
  return {f.text(), read_file(dir.path() / "bantrisk.dat")};
}

const std::string heading = " ** DEAD SPECTRA SECTION **\n";
const std::string following = " The following spectra have zero counts...\n";

TEST(ZeroCountReport, NoZeroSpectra) {
  auto run = run_with_zeros(5, {});
  run->full_input_name = fixed_text("/data/KRV01234.RAW", 80);
  const Report r = report_of(*run);
  EXPECT_EQ(r.console, " Number of spectra with zero counts = 0\n" + following);
  EXPECT_EQ(r.results, " Number of spectra with zero counts =            0\n"
                       " /data/KRV01234.RAW" +
                           std::string(79 - 18, ' ') + "\n" + heading);
  EXPECT_EQ(run->zero_count, 0);
}

TEST(ZeroCountReport, RowsOfTenThenShortRowConsoleFirst) {
  std::vector<std::int32_t> zeros;
  for (std::int32_t s = 1; s <= 20; ++s)
    zeros.push_back(s * 10);
  zeros.push_back(3);
  zeros.push_back(17);
  zeros.push_back(250);
  auto run = run_with_zeros(300, zeros);
  const Report r = report_of(*run);

  // Ascending order whatever order the zeros were set in.
  const std::string row1 = "      3    10    17    20    30    40    50    60    70    80\n";
  const std::string row2 = "     90   100   110   120   130   140   150   160   170   180\n";
  const std::string row3 = "    190   200   250\n";
  EXPECT_EQ(r.console,
            " Number of spectra with zero counts = 23\n" + following + row1 + row2 + row3);
  EXPECT_EQ(r.results, " Number of spectra with zero counts =           23\n " +
                           std::string(79, ' ') + "\n" + heading + row1 + row2 + row3);
  EXPECT_EQ(run->zero_count, 23);
  EXPECT_EQ(run->zero_list[1], 3);
  EXPECT_EQ(run->zero_list[23], 250);
}

TEST(ZeroCountReport, ExactlyTenGivesOneRowAndNoShortRow) {
  auto run = run_with_zeros(10, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
  const Report r = report_of(*run);
  const std::string row = "      1     2     3     4     5     6     7     8     9    10\n";
  EXPECT_EQ(r.console, " Number of spectra with zero counts = 10\n" + following + row);
  EXPECT_EQ(r.results.substr(r.results.size() - heading.size() - row.size()), heading + row);
}

TEST(ZeroCountReport, ShortRowOfThreeIsNineteenCharacters) {
  auto run = run_with_zeros(250, {3, 17, 250});
  const Report r = report_of(*run);
  const std::string row = "      3    17   250";
  ASSERT_EQ(row.size(), 19u);
  EXPECT_EQ(r.console.substr(r.console.size() - 20), row + "\n");
  EXPECT_EQ(r.results.substr(r.results.size() - 20), row + "\n");
}

TEST(ZeroCountReport, OnlyAnalysedSpectraNegativesAndLongNames) {
  // Entries above the number analysed are not scanned; a negative integral is not zero.
  auto run = run_with_zeros(4, {2});
  run->integrals[3] = -5;
  run->full_input_name = "/" + std::string(90, 'p') + "/bantrisk.ans"; // longer than 80
  const Report r = report_of(*run);
  EXPECT_EQ(r.console, " Number of spectra with zero counts = 1\n" + following + "      2\n");
  EXPECT_NE(r.results.find("\n /" + std::string(78, 'p') + "\n"), std::string::npos) << r.results;
}

// The integration loop driven by a made-up run.
TEST(IntegrationLoop, ProgressEveryHundredAndIntegralsByPosition) {
  ConsoleFixture f;
  auto run = std::make_unique<RunState>();
  run->channels = 2;
  run->analysed = 250;
  std::vector<std::int32_t> fetched;
  integrate_spectra(f.io, *run, [&](std::int32_t s, std::span<float> b, std::span<double> v) {
    fetched.push_back(s);
    ASSERT_EQ(b.size(), 3u);
    b[0] = 0;
    b[1] = 1;
    b[2] = 3;
    v[0] = s % 7 == 0 ? 0.0 : s;
    v[1] = 0.5; // width 2: one count
    v[2] = 1e9; // the boundary count's value is never used
  });
  EXPECT_EQ(f.text(), " Integrating spectrum 100 from a total 250\n"
                      " Integrating spectrum 200 from a total 250\n");
  ASSERT_EQ(fetched.size(), 250u);
  for (std::int32_t s = 1; s <= 250; ++s) {
    EXPECT_EQ(fetched[static_cast<std::size_t>(s - 1)], s);
    EXPECT_EQ(run->integrals[static_cast<std::size_t>(s)], (s % 7 == 0 ? 0 : s) + 1) << s;
  }
  EXPECT_EQ(run->integrals[251], 0);
}

TEST(IntegrationLoop, NoSpectraNoFetch) {
  ConsoleFixture f;
  auto run = std::make_unique<RunState>();
  run->channels = 0;
  run->analysed = 0;
  int calls = 0;
  integrate_spectra(f.io, *run,
                    [&](std::int32_t, std::span<float>, std::span<double>) { ++calls; });
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(f.text(), "");
}

TEST(IntegrationLoop, LimitedTotalsAndNotNumbersAreReported) {
  ConsoleFixture f;
  auto run = std::make_unique<RunState>();
  run->channels = 1;
  run->analysed = 3;
  integrate_spectra(f.io, *run, [&](std::int32_t s, std::span<float> b, std::span<double> v) {
    b[0] = 0;
    b[1] = 1;
    v[0] = s == 2 ? 5e9 : s == 3 ? std::nan("") : 4.0;
  });
  EXPECT_EQ(run->integrals[1], 4);
  EXPECT_EQ(run->integrals[2], 2147483647);
  EXPECT_EQ(run->integrals[3], 0);
  const std::string out = f.text();
  EXPECT_EQ(out.rfind(" ** WARNING", 0), 0u) << out;
  EXPECT_NE(out.find(" spectrum 2 "), std::string::npos) << out;
  EXPECT_NE(out.find(" spectrum 3 "), std::string::npos) << out;
  EXPECT_EQ(out.find(" spectrum 1 "), std::string::npos) << out;
}

// The run-file layer reports a bad file; the driver ends the program without integrating.
TEST(IntegrateRawFile, BadRunFileEndsTheProgram) {
  ScratchDir dir;
  write_file(dir.path() / "KRV00001.RAW", "this is not a run file\n");
  ConsoleFixture f;
  auto run = std::make_unique<RunState>();
  run->raw_name = fixed_text("KRV00001.RAW", 80);
  run->full_input_name = run->raw_name; // as the existence check leaves it (resolved again)
  dataaccess::Session session;
  EXPECT_TRUE(f.stops([&] { integrate_raw_file(f.io, *run, session, 0); }));
  const std::string out = f.text();
  EXPECT_NE(out.find("KRV00001.RAW"), std::string::npos) << out;
  EXPECT_EQ(out.find("Please wait..."), std::string::npos) << out;
  EXPECT_EQ(run->analysed, 0);
}

// A real run file, when the test data holds one: sizes, progress and integrals.
TEST(IntegrateRawFile, ReadsEverySpectrumOfARun) {
  const std::filesystem::path data = std::filesystem::path(BANTRISK_TEST_DATA) / "nexus";
  const std::filesystem::path file = data / "chopper.nxs";
  std::ifstream expected_in(data / "expected.txt");
  if (!std::filesystem::exists(file) || !expected_in)
    GTEST_SKIP() << "no run file in the test data";
  std::vector<std::int32_t> expected;
  std::string line;
  while (std::getline(expected_in, line)) {
    std::istringstream words(line);
    std::string name;
    int spectra = 0, channels = 0;
    double first = 0, last = 0;
    if (!(words >> name >> spectra >> channels >> first >> last) || name != "chopper.nxs")
      continue;
    std::int32_t v = 0;
    while (words >> v)
      expected.push_back(v);
  }
  ASSERT_GE(expected.size(), 101u);

  ConsoleFixture f;
  auto run = std::make_unique<RunState>();
  run->raw_name = fixed_text(file.string(), std::max<std::size_t>(80, file.string().size()));
  run->full_input_name = run->raw_name; // as the existence check leaves it
  dataaccess::Session session;
  integrate_raw_file(f.io, *run, session, 0);
  const auto n = static_cast<std::int32_t>(expected.size());
  EXPECT_EQ(run->spectra, n);
  EXPECT_EQ(run->analysed, n);
  const std::string out = f.text();
  const std::string sizes =
      " Number of spectra = " + std::to_string(n) + "\n Number of time channels = ";
  EXPECT_EQ(out.rfind(sizes, 0), 0u) << out;
  EXPECT_NE(out.find("\n ** DEAD SPECTRA SECTION **\n Please wait...\n Integrating spectrum 100 "
                     "from a total " +
                     std::to_string(n) + "\n"),
            std::string::npos)
      << out;
  for (std::int32_t s = 1; s <= n; ++s)
    EXPECT_EQ(run->integrals[static_cast<std::size_t>(s)],
              expected[static_cast<std::size_t>(s - 1)])
        << s;

  // A maximum above the run's spectra: reported once, the whole run integrated.
  ConsoleFixture g;
  auto again = std::make_unique<RunState>();
  again->raw_name = run->raw_name;
  again->full_input_name = run->raw_name;
  integrate_raw_file(g.io, *again, session, n + 1);
  EXPECT_NE(g.text().find("\n Too many spectra requested\n"), std::string::npos) << g.text();
  EXPECT_EQ(again->analysed, n);

  // A maximum below: only spectra 1..maximum.
  ConsoleFixture h;
  auto part = std::make_unique<RunState>();
  part->raw_name = run->raw_name;
  part->full_input_name = run->raw_name;
  integrate_raw_file(h.io, *part, session, 5);
  EXPECT_EQ(part->analysed, 5);
  EXPECT_EQ(part->spectra, n);
  EXPECT_EQ(part->integrals[5], expected[4]);
  EXPECT_EQ(part->integrals[6], 0);
  EXPECT_EQ(h.text().find("Too many"), std::string::npos);
}

} // namespace
