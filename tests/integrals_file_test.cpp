#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

const std::string read_error = " Error reading file bantrisk.ans" + std::string(68, ' ') + "\n";

struct ReadCase {
  const char *what;
  std::string file;
  std::optional<std::vector<std::int32_t>> integrals; // nullopt: a read error
};

TEST(ReadIntegralsFile, ByPositionOrReadError) {
  const ReadCase cases[] = {
      {"as written", " 3\n 1 152\n 2 0\n 3 987\n", std::vector<std::int32_t>{152, 0, 987}},
      {"wrong first numbers", "3\n9 5\n-4 6\n0 7\n", std::vector<std::int32_t>{5, 6, 7}},
      {"one value on a line continues on the next", "2\n1\n100 555\n2 200\n",
       std::vector<std::int32_t>{100, 200}},
      {"extra values ignored", "2 99\n1 5 6 7\n2 8, 9\n", std::vector<std::int32_t>{5, 8}},
      {"commas and tabs", "2,\n1,\t-5\n2 , 6\n", std::vector<std::int32_t>{-5, 6}},
      {"line ends with CR", "2\r\n1 5\r\n2 6\r\n", std::vector<std::int32_t>{5, 6}},
      {"slash keeps the integral", "2\n1 /\n2 50\n", std::vector<std::int32_t>{0, 50}},
      {"count 0", " 0\n", std::vector<std::int32_t>{}},
      {"count 0 and more lines", "0\n1 5\n", std::vector<std::int32_t>{}},
      {"largest count",
       "20000\n" +
           [] {
             std::string s;
             for (int k = 1; k <= 20000; ++k)
               s += " " + std::to_string(k) + " " + std::to_string(k % 3) + "\n";
             return s;
           }(),
       std::nullopt /* checked below */},
      {"count larger than the lines", "3\n1 5\n2 6\n", std::nullopt},
      {"end of file between the two values", "2\n1 5\n2\n", std::nullopt},
      {"count above the tables", "20001\n", std::nullopt},
      {"count not a number", "three\n", std::nullopt},
      {"count with a point", "3.0\n", std::nullopt},
      {"integral not a number", "2\n1 x\n2 3\n", std::nullopt},
      {"first value not a number", "2\n# 4\n2 3\n", std::nullopt},
      {"integral beyond 32 bits", "1\n1 2147483648\n", std::nullopt},
      {"empty file", "", std::nullopt},
  };
  for (const ReadCase &c : cases) {
    ScratchDir dir;
    write_file(dir.path() / "bantrisk.ans", c.file);
    ConsoleFixture f("\n");
    auto run = std::make_unique<RunState>();
    const bool largest = std::string(c.what) == "largest count";
    if (c.integrals || largest) {
      ASSERT_NO_THROW(read_integrals_file(f.io, *run)) << c.what << "\n" << f.text();
      const auto n = largest ? 20000 : static_cast<std::int32_t>(c.integrals->size());
      EXPECT_EQ(run->spectra, n) << c.what;
      EXPECT_EQ(run->analysed, n) << c.what;
      for (std::int32_t i = 1; i <= n; ++i)
        EXPECT_EQ(run->integrals[static_cast<std::size_t>(i)],
                  largest ? i % 3 : (*c.integrals)[static_cast<std::size_t>(i - 1)])
            << c.what << " spectrum " << i;
      EXPECT_EQ(f.text().find("Error"), std::string::npos) << c.what;
    } else {
      EXPECT_TRUE(f.stops([&] { read_integrals_file(f.io, *run); })) << c.what;
      const std::string out = f.text();
      ASSERT_GE(out.size(), read_error.size()) << c.what;
      EXPECT_EQ(out.substr(out.size() - read_error.size()), read_error) << c.what << "\n" << out;
    }
  }
}

TEST(ReadIntegralsFile, NegativeCountReadsNothing) {
  // The count is taken as it stands: nothing follows it, and the run later fails the
  // spectrum-count check of the detector map.
  ScratchDir dir;
  write_file(dir.path() / "bantrisk.ans", " -2\n 1 5\n");
  ConsoleFixture f("\n");
  auto run = std::make_unique<RunState>();
  ASSERT_NO_THROW(read_integrals_file(f.io, *run)) << f.text();
  EXPECT_EQ(run->spectra, -2);
  EXPECT_EQ(run->analysed, 0);
  EXPECT_EQ(run->integrals[1], 0);
}

TEST(ReadIntegralsFile, QuestionAndFileFound) {
  ScratchDir dir;
  write_file(dir.path() / "mine.ans", " 1\n 1 42\n");
  ConsoleFixture f("mine.ans\n");
  auto run = std::make_unique<RunState>();
  read_integrals_file(f.io, *run);
  const std::string full = (dir.path() / "mine.ans").string();
  EXPECT_EQ(f.text(), " Give input file name (bantrisk.ans) >  File found : " + full + "\n");
  EXPECT_EQ(run->integrals_name, fixed_text("mine.ans", 80));
  EXPECT_EQ(std::string(trimmed(run->full_input_name)), full);
  EXPECT_EQ(run->integrals[1], 42);
}

TEST(ReadIntegralsFile, MissingFileEndsTheProgramBeforeReading) {
  ScratchDir dir;
  ConsoleFixture f("\n");
  auto run = std::make_unique<RunState>();
  EXPECT_TRUE(f.stops([&] { read_integrals_file(f.io, *run); }));
  EXPECT_EQ(f.text(),
            " Give input file name (bantrisk.ans) >  Failure locating file bantrisk.ans\n");
}

TEST(ReadIntegralsFile, OpensByTheFullNameInADeepFolder) {
  ScratchDir dir;
  const std::filesystem::path deep =
      dir.path() / std::string(40, 'a') / std::string(40, 'b') / std::string(40, 'c');
  std::filesystem::create_directories(deep);
  write_file(deep / "bantrisk.ans", " 2\n 1 7\n 2 0\n");
  std::filesystem::current_path(deep);
  ConsoleFixture f("\n");
  auto run = std::make_unique<RunState>();
  read_integrals_file(f.io, *run);
  EXPECT_EQ(run->analysed, 2);
  EXPECT_EQ(run->integrals[1], 7);
  EXPECT_NE(f.text().find(" File found : " + (deep / "bantrisk.ans").string().substr(0, 80) + "\n"),
            std::string::npos)
      << f.text();
}

const std::string save_question = " Give 1 to save integrals in file, or 0 otherwise ";
const std::string written =
    " Spectrum integrals written to file: bantrisk.ans" + std::string(23, ' ') + "\n\n";

std::unique_ptr<RunState> three_spectra() {
  auto run = std::make_unique<RunState>();
  run->spectra = 5;
  run->analysed = 3;
  run->integrals[1] = 152;
  run->integrals[2] = 0;
  run->integrals[3] = 987;
  run->integrals[4] = 11; // beyond the spectra analysed
  return run;
}

TEST(SaveIntegrals, RepeatedQuestionOffersTheLastAnswer) {
  ScratchDir dir;
  ConsoleFixture f("2\n\n1\n");
  auto run = three_spectra();
  run->integrals_name = fixed_text("other.ans", 80);
  save_integrals(f.io, *run);
  EXPECT_EQ(read_file(dir.path() / "bantrisk.ans"), " 3\n 1 152\n 2 0\n 3 987\n");
  const std::string out = f.text();
  EXPECT_EQ(out.rfind(save_question + "(0) > " + save_question + "(2) > " + save_question +
                          "(2) >  No pre-existing version of file exists\n",
                      0),
            0u)
      << out;
  EXPECT_NE(out.find(" New file: " + (dir.path() / "bantrisk.ans").string() + "\n"),
            std::string::npos)
      << out;
  EXPECT_EQ(out.substr(out.size() - written.size()), written);
  EXPECT_EQ(run->integrals_name, fixed_text("bantrisk.ans", 80));
}

TEST(SaveIntegrals, ZeroWritesNothing) {
  ScratchDir dir;
  ConsoleFixture f("\n");
  auto run = three_spectra();
  save_integrals(f.io, *run);
  EXPECT_EQ(f.text(), save_question + "(0) > ");
  EXPECT_FALSE(std::filesystem::exists(dir.path() / "bantrisk.ans"));
}

TEST(SaveIntegrals, ReplacesAnEarlierFileAndWritesNegatives) {
  ScratchDir dir;
  write_file(dir.path() / "bantrisk.ans", "old content that is longer than the new one\n");
  ConsoleFixture f("1\n");
  auto run = std::make_unique<RunState>();
  run->analysed = 2;
  run->integrals[1] = -2147483647 - 1;
  run->integrals[2] = 2147483647;
  save_integrals(f.io, *run);
  EXPECT_EQ(read_file(dir.path() / "bantrisk.ans"), " 2\n 1 -2147483648\n 2 2147483647\n");
  EXPECT_NE(f.text().find(" File found : "), std::string::npos);
}

TEST(SaveIntegrals, NoSpectraWritesTheCountLineOnly) {
  ScratchDir dir;
  ConsoleFixture f("1\n");
  auto run = std::make_unique<RunState>();
  save_integrals(f.io, *run);
  EXPECT_EQ(read_file(dir.path() / "bantrisk.ans"), " 0\n");
}

TEST(SaveIntegrals, FileThatCannotBePutInPlaceIsNotClaimed) {
  ScratchDir dir;
  // A folder of that name: the file cannot replace it.
  std::filesystem::create_directory(dir.path() / "bantrisk.ans");
  ConsoleFixture f("1\n");
  auto run = three_spectra();
  save_integrals(f.io, *run);
  EXPECT_EQ(f.text().find("written to file"), std::string::npos) << f.text();
  EXPECT_TRUE(std::filesystem::is_directory(dir.path() / "bantrisk.ans"));
}

TEST(SaveIntegrals, FileThatCannotBeCreatedIsNotClaimed) {
  ScratchDir dir;
  const std::filesystem::path gone = dir.path() / "gone";
  std::filesystem::create_directory(gone);
  std::filesystem::current_path(gone);
  std::filesystem::remove(gone);
  ConsoleFixture f("1\n");
  auto run = three_spectra();
  save_integrals(f.io, *run);
  const std::string out = f.text();
  EXPECT_NE(out.find(" ** Error in open_new_file **\n"), std::string::npos) << out;
  EXPECT_EQ(out.find("written to file"), std::string::npos) << out;
}

TEST(IntegralsFile, SavedIntegralsReadBackUnchanged) {
  ScratchDir dir;
  auto saved = std::make_unique<RunState>();
  saved->spectra = 700;
  saved->analysed = 650; // a maximum spectrum was given
  for (std::int32_t s = 1; s <= 700; ++s)
    saved->integrals[static_cast<std::size_t>(s)] = s % 11 == 0 ? 0 : s * 1000 - 250000;
  ConsoleFixture w("1\n");
  save_integrals(w.io, *saved);

  ConsoleFixture r("\n");
  auto back = std::make_unique<RunState>();
  read_integrals_file(r.io, *back);
  EXPECT_EQ(back->spectra, 650);
  EXPECT_EQ(back->analysed, 650);
  for (std::int32_t s = 1; s <= 650; ++s)
    EXPECT_EQ(back->integrals[static_cast<std::size_t>(s)],
              saved->integrals[static_cast<std::size_t>(s)]);
  EXPECT_EQ(back->integrals[651], 0);
}

// The whole pass with option 2: a bad integrals file ends it before the zero-count report and
// without the final pause.
TEST(IntegralsFile, PassEndsOnAnUnreadableFile) {
  ScratchDir dir;
  write_file(dir.path() / "bantrisk.ans", " 3\n 1 5\n");
  const PassResult p = run_pass("2\n\n\n\n\n");
  EXPECT_NE(p.status, 0);
  EXPECT_NE(p.console.find(read_error), std::string::npos) << p.console;
  EXPECT_EQ(p.console.find("zero counts"), std::string::npos) << p.console;
  EXPECT_EQ(p.console.find("Press Enter"), std::string::npos) << p.console;
}

} // namespace
