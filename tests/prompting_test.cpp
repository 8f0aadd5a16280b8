#include <gtest/gtest.h>

#include "driver_harness.hpp"
#include "lib/prompting.hpp"
#include "lib/text.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

TEST(GetIntd, AnswersAcceptedAndRefused) {
  const struct {
    const char *answers;
    int idef;
    std::int32_t expected;
    int questions; // how many times the question was written
  } cases[] = {
      {"5\n", 1, 5, 1},      {"  5\n", 1, 5, 1},
      {"5 7\n", 1, 5, 1},    {"5,7\n", 1, 5, 1},
      {"-3\n", 0, -3, 1},    {"\n", 1, 4, 1}, // empty: the default
      {"\n5\n", 0, 5, 2},                     // empty without default: asked again
      {" \n5\n", 1, 5, 2},                    // one blank is refused even with a default
      {"   \n5\n", 1, 5, 2},                  // several blanks fail as a number
      {"\t\n5\n", 1, 5, 2},  {"1.5\n5x\nx\nF\nf5\n6\n", 1, 6, 6},
      {",\n", 0, 4, 1}, // a null value keeps the value
      {"/\n", 0, 4, 1},      {"99999999999\n2\n", 1, 2, 2},
      {"7\r\n", 1, 7, 1},
  };
  for (const auto &c : cases) {
    ConsoleFixture f(c.answers);
    std::int32_t v = 4;
    get_intd(f.console, v, "option", c.idef);
    EXPECT_EQ(v, c.expected) << c.answers;
    EXPECT_EQ(occurrences(f.text(), " Give option"), c.questions) << c.answers;
  }
}

TEST(GetIntd, QuestionLines) {
  ConsoleFixture f("-3\n\n");
  std::int32_t v = 1;
  get_intd(f.console, v, "option", 1);
  get_intd(f.console, v, "option", 1);
  EXPECT_EQ(f.text(), " Give option (1) >  Give option (-3) > ");
  ConsoleFixture g("7\n");
  get_intd(g.console, v, "run number", 0);
  EXPECT_EQ(g.text(), " Give run number > ");
  ConsoleFixture h("\n");
  std::int32_t zero = 0;
  get_intd(h.console, zero, "maximum", 1);
  EXPECT_EQ(h.text(), " Give maximum (0) > ");
}

TEST(GetIntd, EndOfInputIsReported) {
  ConsoleFixture f("x\n");
  std::int32_t v = 1;
  EXPECT_THROW(get_intd(f.console, v, "option", 1), ProgramStop);
}

TEST(GetParamd, RealsAndRefusals) {
  const struct {
    const char *answers;
    float expected;
    int questions;
  } cases[] = {
      {"2\n", 2.0f, 1},        {"0.25 9\n", 0.25f, 1}, {"\n", 0.3f, 1},
      {" \n1\n", 1.0f, 2},     {"f\n1\n", 1.0f, 2},    {"inf\nnan\n1.5+2\n0.5\n", 0.5f, 4},
      {"1.5e-2\n", 0.015f, 1}, {",\n", 0.3f, 1},
  };
  for (const auto &c : cases) {
    ConsoleFixture f(c.answers);
    float v = 0.3f;
    get_paramd(f.console, v, "low fraction", 1);
    EXPECT_EQ(v, c.expected) << c.answers;
    EXPECT_EQ(f.text().rfind(" Give low fraction ( 0.3000000    ) > ", 0), 0u) << c.answers;
    EXPECT_EQ(occurrences(f.text(), " Give low fraction ("), c.questions) << c.answers;
  }
}

TEST(Get2Paramd, PartialReadKeepsTheFirstValue) {
  ConsoleFixture f("0.2\n\n0.2 /\n");
  float low = 0.1f, high = 1.9f;
  get_2paramd(f.console, low, high, "low limit", "high limit", 1);
  EXPECT_EQ(f.text(), " Give low limit ( 0.1000000    ) and high limit (  1.900000    ) > "
                      " Give low limit ( 0.2000000    ) and high limit (  1.900000    ) > ");
  EXPECT_EQ(low, 0.2f);
  EXPECT_EQ(high, 1.9f);

  ConsoleFixture g("0.5 2.0\n");
  get_2paramd(g.console, low, high, "low limit", "high limit", 0);
  EXPECT_EQ(g.text(), " Give low limit and high limit > ");
  EXPECT_EQ(low, 0.5f);
  EXPECT_EQ(high, 2.0f);
}

TEST(GetStringd, AnswersAsTyped) {
  {
    ConsoleFixture f("RAWX\n\n");
    std::string ext = "RAW";
    int n = 3;
    get_stringd(f.console, ext, "extension for raw data file", n, 1);
    EXPECT_EQ(ext, "RAW");
    EXPECT_EQ(n, 4);
    get_stringd(f.console, ext, "extension for raw data file", n, 1);
    EXPECT_EQ(f.text(), " Give extension for raw data file (RAW) > "
                        " Give extension for raw data file ( RAW) > ");
    EXPECT_EQ(n, 4);
  }
  {
    ConsoleFixture f(std::string(100, 'a') + "\n");
    std::string name(80, ' ');
    int n = 0;
    get_stringd(f.console, name, "spectrum file", n, 0);
    EXPECT_EQ(name, std::string(80, 'a'));
    EXPECT_EQ(n, 100);
  }
  {
    ConsoleFixture f("\n   \n");
    std::string name = fixed_text("spectra.dat", 80);
    int n = 11;
    get_stringd(f.console, name, "spectrum file", n, 0);
    EXPECT_EQ(name, std::string(80, ' '));
    EXPECT_EQ(n, 3);
    EXPECT_EQ(f.text(), " Give spectrum file >  Give spectrum file > ");
  }
  {
    ConsoleFixture f("\n");
    std::string name = fixed_text("bantrisk.ans", 80);
    int n = 12;
    get_stringd(f.console, name, "input file name", n, 1);
    EXPECT_EQ(f.text(), " Give input file name (bantrisk.ans) > ");
    EXPECT_EQ(name, fixed_text("bantrisk.ans", 80));
  }
}
