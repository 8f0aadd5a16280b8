#include <gtest/gtest.h>

#include <array>
#include <filesystem>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "driver/mask_forms.hpp"
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

namespace {

std::vector<std::int32_t> read_back(MaskFormat format, const std::string &text) {
  std::istringstream in(text);
  return read_mask(format, in);
}

std::string written(MaskFormat format, std::int32_t listed,
                    const std::vector<std::int32_t> &masked) {
  std::string text;
  write_mask_lines(format, {listed, masked, "/data/runs/KRV01234.RAW"},
                   [&text](std::string_view line) { text.append(line).push_back('\n'); });
  return text;
}

std::vector<std::int32_t> span_of(std::int32_t first, std::int32_t last, std::int32_t step = 1) {
  std::vector<std::int32_t> s;
  for (std::int32_t k = first; k <= last; k += step)
    s.push_back(k);
  return s;
}

constexpr std::array<MaskFormat, 3> every_form{MaskFormat::columns, MaskFormat::xml,
                                               MaskFormat::msk};

} // namespace

// Every form gives back the spectra it was written with: none, single ones, runs, every
// spectrum, ranges enough to fill many msk lines, the highest spectrum.
TEST(MaskForms, EachFormReadsBackWhatItWrites) {
  struct Case {
    std::int32_t listed;
    std::vector<std::int32_t> masked;
  };
  const std::vector<Case> cases = {
      {5, {}},
      {1, {1}},
      {200, {7, 8, 9, 120}},
      {max_spectra, span_of(1, max_spectra)},
      {3001, span_of(1, 3001, 2)},
      {max_spectra, {max_spectra}},
  };
  for (const MaskFormat form : every_form)
    for (const Case &c : cases)
      EXPECT_EQ(read_back(form, written(form, c.listed, c.masked)), c.masked)
          << static_cast<int>(form) << ", " << c.masked.size() << " masked of " << c.listed;
}

TEST(MaskForms, AcceptedVariants) {
  struct Case {
    MaskFormat form;
    std::string text;
    std::vector<std::int32_t> masked;
  };
  const std::vector<Case> cases = {
      {MaskFormat::columns, "1 0\r\n\n\t2\t-3   \r\n   \n 0005  -3", {2, 5}},
      {MaskFormat::columns, "", {}},
      {MaskFormat::msk, "4-6 1\n\n# a comment\n\t2 5-5\r\n3-4", {1, 2, 3, 4, 5, 6}},
      {MaskFormat::msk, "# only a comment\n", {}},
      {MaskFormat::xml,
       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- mask -->\n<detector-masking>\r\n"
       "<group><ids>\n 9 ,\t2-3\n</ids><ids/></group><group><ids>3,10&#44;11</ids></group>\n"
       "</detector-masking>\n",
       {2, 3, 9, 10, 11}},
      {MaskFormat::xml, "<detector-masking/>", {}},
  };
  for (const Case &c : cases)
    EXPECT_EQ(read_back(c.form, c.text), c.masked) << c.text;
}

// A file that departs from its form is refused at the first departure, with its line and
// column (from 1) and the reason.
TEST(MaskForms, MalformedFilesGiveLineAndColumn) {
  struct Case {
    MaskFormat form;
    std::string text;
    long line, column;
    std::string reason;
  };
  const std::string head = "<detector-masking><group><ids>"; // 30 characters
  const std::string tail = "</ids></group></detector-masking>";
  const std::vector<Case> cases = {
      {MaskFormat::columns, "      1   0\n      x   0\n", 2, 7,
       "spectrum number expected, found \"x\""},
      {MaskFormat::columns, "      1   5\n", 1, 11, "mask value \"5\" is neither 0 nor -3"},
      {MaskFormat::columns, "      1 -3.0\n", 1, 9, "mask value \"-3.0\" is neither 0 nor -3"},
      {MaskFormat::columns, "      2   0\n      1   0\n", 2, 7,
       "spectrum 1 comes after spectrum 2: the spectra must ascend, each once"},
      {MaskFormat::columns, "      1   0\n\n      1  -3\n", 3, 7,
       "spectrum 1 comes after spectrum 1: the spectra must ascend, each once"},
      {MaskFormat::columns, "      1\n", 1, 8, "mask value 0 or -3 expected after spectrum 1"},
      {MaskFormat::columns, "      1   0   0\n", 1, 15,
       "unexpected text after the mask value: \"0\""},
      {MaskFormat::columns, "  20001   0\n", 1, 3, "spectrum 20001 is outside 1 to 20000"},
      {MaskFormat::columns, "      0   0\n", 1, 7, "spectrum 0 is outside 1 to 20000"},
      {MaskFormat::columns, "123456789012345678901234 0\n", 1, 1,
       "spectrum \"12345678901234567890...\" is outside 1 to 20000"},
      {MaskFormat::columns, "+1 0\n", 1, 1, "spectrum number expected, found \"+1\""},
      {MaskFormat::msk, "# c\n3 7-9 x\n", 2, 7,
       "spectrum number or range a-b expected, found \"x\""},
      {MaskFormat::msk, "3,4\n", 1, 1, "spectrum number or range a-b expected, found \"3,4\""},
      {MaskFormat::msk, "1\n 9-3\n", 2, 2, "range \"9-3\" runs downwards"},
      {MaskFormat::msk, "3-\n", 1, 3, "range \"3-\": spectrum number expected after -"},
      {MaskFormat::msk, "5-20001\n", 1, 3, "spectrum 20001 is outside 1 to 20000"},
      {MaskFormat::msk, " # late comment\n", 1, 2,
       "spectrum number or range a-b expected, found \"#\""},
      {MaskFormat::msk, std::string(1 << 20, '1') + "1\n", 1, 1,
       "the line cannot be read (a read error, or a line longer than 1048576 characters)"},
      {MaskFormat::xml, "", 1, 1, "not a well-formed xml file: no element found"},
      {MaskFormat::xml, head + "3,,4" + tail, 1, 33,
       "a spectrum number or range a-b is missing before this comma"},
      {MaskFormat::xml, head + ",3" + tail, 1, 31,
       "a spectrum number or range a-b is missing before this comma"},
      {MaskFormat::xml, head + "3," + tail, 1, 33,
       "a spectrum number or range a-b is missing after the last comma"},
      {MaskFormat::xml, head + "3 4" + tail, 1, 33,
       "a comma must separate two spectrum numbers or ranges"},
      {MaskFormat::xml, head + "5-3" + tail, 1, 31, "range \"5-3\" runs downwards"},
      {MaskFormat::xml, head + "1,20001" + tail, 1, 33, "spectrum 20001 is outside 1 to 20000"},
      {MaskFormat::xml,
       "<?xml version=\"1.0\"?>\n<detector-masking>\n  <group>\n    <ids>3,7-x</ids>\n  "
       "</group>\n</detector-masking>\n",
       4, 14, "range \"7-x\": spectrum number expected after -"},
      {MaskFormat::xml, head + std::string(40, '7') + tail, 1, 31,
       "item longer than 32 characters: no spectrum number or range"},
      {MaskFormat::xml, "<detector-masking><grp/></detector-masking>", 1, 19,
       "element \"grp\" where group belongs in a detector-masking file"},
      {MaskFormat::xml, "<masking/>", 1, 1,
       "element \"masking\" where detector-masking belongs in a detector-masking file"},
      {MaskFormat::xml, head + "<b/>" + tail, 1, 31,
       "element \"b\" inside ids: ids holds only spectrum numbers and ranges"},
      {MaskFormat::xml, "<detector-masking a=\"1\"/>", 1, 1,
       "element detector-masking takes no attribute, found \"a\""},
      {MaskFormat::xml, "<detector-masking><group>x</group></detector-masking>", 1, 26,
       "text outside an ids element"},
      // The parser knows the declaration at its internal subset, column 13.
      {MaskFormat::xml, "<!DOCTYPE d [<!ENTITY e \"1\">]><detector-masking/>", 1, 13,
       "a document type declaration is not part of a mask file"},
      {MaskFormat::xml, "<detector-masking/><detector-masking/>", 1, 20,
       "not a well-formed xml file: junk after document element"},
      {MaskFormat::xml, head + "3", 1, 32, "not a well-formed xml file: no element found"},
  };
  for (const Case &c : cases) {
    try {
      read_back(c.form, c.text);
      ADD_FAILURE() << "accepted: " << c.text.substr(0, 80);
    } catch (const MaskFormError &e) {
      EXPECT_EQ(std::make_pair(e.line(), e.column()), std::make_pair(c.line, c.column))
          << c.text.substr(0, 80) << "\n"
          << e.what();
      EXPECT_EQ(e.reason(), c.reason) << c.text.substr(0, 80);
      EXPECT_EQ(std::string(e.what()), "line " + std::to_string(c.line) + ", column " +
                                           std::to_string(c.column) + ": " + c.reason);
    }
  }
}
