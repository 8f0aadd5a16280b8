#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

// Line `n` (1-based) of a text, without its line end.
std::string line_of(const std::string &text, int n) {
  std::size_t start = 0;
  for (int k = 1; k < n; ++k)
    start = text.find('\n', start) + 1;
  return text.substr(start, text.find('\n', start) - start);
}

std::size_t count_of(const std::string &text, const std::string &piece) {
  std::size_t n = 0;
  for (auto p = text.find(piece); p != std::string::npos; p = text.find(piece, p + 1))
    ++n;
  return n;
}

const std::string options_block = " Options...\n"
                                  " 1) Mask dead spectra only\n"
                                  " 2) Mask dead spectra and low/high spectra\n"
                                  " Give option (1) > ";

} // namespace

TEST(MaskFile, MaskValuesForBothOptions) {
  // Spectrum 7 has no counts, 12345 was found low or high; 12346 is not in any table of the
  // checks and has no counts either.
  auto run = std::make_unique<RunState>();
  run->analysed = 12346;
  for (std::int32_t s = 1; s <= run->analysed; ++s)
    run->integrals[static_cast<std::size_t>(s)] = 10;
  run->integrals[7] = 0;
  run->integrals[12346] = 0;
  run->flags[7] = 1;
  run->flags[12345] = 0;

  struct Case {
    const char *option;
    std::string line7, line12345, line12346;
  };
  const std::vector<Case> cases = {
      {"1", "       7  -3", "   12345   0", "   12346  -3"},
      {"2", "       7  -3", "   12345  -3", "   12346  -3"},
      {"", "       7  -3", "   12345   0", "   12346  -3"}, // the default option is 1
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    ConsoleFixture fx(std::string("1\n\n") + c.option + "\n");
    write_mask_file(fx.io, *run);
    const std::string mask = read_file(dir.path() / "bantrisk.mask");
    EXPECT_EQ(count_of(mask, "\n"), 12346u) << c.option;
    EXPECT_EQ(line_of(mask, 1), "       1   0") << c.option;
    EXPECT_EQ(line_of(mask, 7), c.line7) << c.option;
    EXPECT_EQ(line_of(mask, 12345), c.line12345) << c.option;
    EXPECT_EQ(line_of(mask, 12346), c.line12346) << c.option;
    EXPECT_EQ(mask.find("   12347"), std::string::npos);
    EXPECT_NE(fx.text().find(" Give 1 to create mask file, or 0 otherwise (0) > "
                             " Give full name of mask file (bantrisk.mask) > \n" +
                             options_block),
              std::string::npos)
        << fx.text();
  }
}

TEST(MaskFile, QuestionsRepeatUntilAnswered) {
  struct Case {
    const char *what;
    std::string answers;
    std::size_t mask_questions, option_blocks;
    bool written;
  };
  const std::vector<Case> cases = {
      {"declined", "0\n", 1, 0, false},
      {"declined by default", "\n", 1, 0, false},
      {"mask answer 5 then 1", "5\n1\nm.mask\n1\n", 2, 1, true},
      {"option answer 5 then 2", "1\nm.mask\n5\n2\n", 1, 2, true},
      {"option 0 and 3 refused", "1\nm.mask\n0\n3\n\n", 1, 3, true},
  };
  for (const Case &c : cases) {
    ScratchDir dir;
    auto run = std::make_unique<RunState>();
    run->analysed = 3;
    ConsoleFixture fx(c.answers);
    write_mask_file(fx.io, *run);
    const std::string console = fx.text();
    EXPECT_EQ(count_of(console, " Give 1 to create mask file, or 0 otherwise (0) > "),
              c.mask_questions)
        << c.what;
    EXPECT_EQ(count_of(console, options_block), c.option_blocks) << c.what;
    // The empty line before the options is written once, however often they are shown.
    if (c.option_blocks > 0) {
      std::string repeated;
      for (std::size_t k = 0; k < c.option_blocks; ++k)
        repeated += options_block;
      EXPECT_NE(console.find("> \n" + repeated), std::string::npos) << c.what << console;
    }
    EXPECT_EQ(std::filesystem::exists(dir.path() / "m.mask"), c.written) << c.what;
    if (c.written) {
      EXPECT_EQ(read_file(dir.path() / "m.mask"), "       1  -3\n       2  -3\n       3  -3\n")
          << c.what;
    }
  }
}

TEST(MaskFile, NameTypedInFullAndFolderThatDoesNotExist) {
  ScratchDir dir;
  std::filesystem::create_directory(dir.path() / "sub");
  auto run = std::make_unique<RunState>();
  run->analysed = 1;
  run->integrals[1] = 5;
  {
    ConsoleFixture fx("1\nsub/run 12.mask\n1\n");
    write_mask_file(fx.io, *run);
    EXPECT_EQ(read_file(dir.path() / "sub" / "run 12.mask"), "       1   0\n");
  }
  {
    ConsoleFixture fx("1\nmissing/run.mask\n1\n");
    write_mask_file(fx.io, *run);
    EXPECT_NE(fx.text().find(" ** Error in open_new_file **\n"), std::string::npos) << fx.text();
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "missing"));
    EXPECT_FALSE(std::filesystem::exists(dir.path() / "bantrisk.mask"));
  }
}

TEST(MaskFile, EarlierFileIsReplaced) {
  ScratchDir dir;
  write_file(dir.path() / "bantrisk.mask", "old contents that are longer than the new file\n");
  auto run = std::make_unique<RunState>();
  run->analysed = 2;
  run->integrals[1] = 1;
  ConsoleFixture fx("1\n\n2\n");
  write_mask_file(fx.io, *run);
  EXPECT_EQ(read_file(dir.path() / "bantrisk.mask"), "       1   0\n       2  -3\n");
}
