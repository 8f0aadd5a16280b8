#include <gtest/gtest.h>

#include <array>

#include "driver_harness.hpp"
#include "lib/header.hpp"
#include "lib/text.hpp"
#include "lib/words.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

TEST(ProgHeader, TheProgramsOwnHeader) {
  ConsoleFixture f;
  prog_header(f.io, "BANTRISK", "Detector checking program", "Vorn Askell", "8-5-02", 0);
  EXPECT_EQ(f.text(), " ****************************************\n"
                      " * BANTRISK : Detector checking program *\n"
                      " * Vorn Askell                   8-5-02 *\n"
                      " ****************************************\n"
                      "\n");
}

TEST(ProgHeader, GapsAndWidths) {
  {
    // a = 1 + 2 + 3 = 6 = b: no gap on either line.
    ConsoleFixture f;
    prog_header(f.io, "A", "BC", "DEF", "GHI", 0);
    EXPECT_EQ(f.text(), " **********\n * A : BC *\n * DEFGHI *\n **********\n\n");
  }
  {
    // Long author and date: the gap goes before line 2's closing " *".
    ConsoleFixture f;
    prog_header(f.io, "A", "B", "Author", "date ", 0);
    EXPECT_EQ(f.text(),
              " ***************\n * A : B       *\n * Authordate  *\n ***************\n\n");
  }
  {
    // W = 80 is written: lines of 81 characters.
    ConsoleFixture f;
    prog_header(f.io, std::string(70, 'n'), "ttt", "a", "d", 0);
    EXPECT_EQ(f.text().substr(0, 82), " " + std::string(80, '*') + "\n");
  }
  {
    // W = 81 is fatal, and nothing reaches the destination.
    ConsoleFixture f;
    EXPECT_TRUE(f.stops([&] { prog_header(f.io, std::string(71, 'n'), "ttt", "a", "d", 0); }));
    EXPECT_EQ(f.text(), " **ERROR in prog_header : line is too long\n");
  }
}

TEST(CountWord, PositionsOfWords) {
  const struct {
    std::string line;
    int nw;
    std::vector<int> iw;
  } cases[] = {
      {"12345 spectra.dat", 2, {1, 7, 18}},
      {fixed_text("12345 spectra.dat", 80), 2, {1, 7, 18}},
      {fixed_text("  a  b", 80), 2, {3, 6, 7}},
      {"a\tb", 2, {1, 3, 4}},
      {"a \tb  ", 2, {1, 4, 5}},
      {"word", 1, {1, 5}},
  };
  for (const auto &c : cases) {
    std::array<int, 41> iw{};
    int nw = -1;
    count_word(c.line, iw, nw);
    EXPECT_EQ(nw, c.nw) << c.line;
    EXPECT_EQ(std::vector<int>(iw.begin(), iw.begin() + nw + 1), c.iw) << c.line;
  }
}

TEST(CountWord, BlankLineLeavesPositionsAlone) {
  std::array<int, 41> iw;
  iw.fill(-5);
  int nw = 3;
  count_word(" \t  ", iw, nw);
  EXPECT_EQ(nw, 0);
  EXPECT_EQ(iw[0], -5);
  EXPECT_EQ(iw[1], -5);
}
