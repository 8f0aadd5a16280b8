#include "lib/spectra_file.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "driver_harness.hpp"
#include "lib/console.hpp"

namespace bantrisk {
namespace {

using testing::ConsoleFixture;
using testing::Env;

TEST(SetZR, ValueAndCharactersBeforeTwoBlanks) {
  struct Case {
    std::optional<std::string> value;
    int k;
  };
  const std::string long79(79, 'd');
  const std::string long80(80, 'd');
  const Case cases[] = {
      {std::nullopt, 0}, {"", 0},      {"/data/lists/", 12}, {"/data/my  lists/", 8},
      {"  /data/", 0},   {"/a b/", 5}, // a single blank is not a pair
      {long79, -1},                    // one blank of padding only
      {long80, -1},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.value.value_or("(unset)"));
    Env env;
    if (c.value)
      env["Z_R"] = *c.value;
    ConsoleFixture f("", env);
    std::string text;
    int k = 99;
    setz_r(f.io, text, k);
    EXPECT_EQ(k, c.k);
    std::string expected = c.value.value_or("");
    expected.resize(80, ' ');
    EXPECT_EQ(text, expected);
  }
}

TEST(SetZR, LongValueIsKeptWhole) {
  const std::string value = "/" + std::string(120, 'x') + "/";
  ConsoleFixture f("", Env{{"Z_R", value}});
  std::string text;
  int k = 0;
  setz_r(f.io, text, k);
  EXPECT_EQ(text, value);
  EXPECT_EQ(k, -1);
}

// A spectra file read from memory into tables of `capacity` entries.
struct Read {
  explicit Read(std::size_t table_size = 20001) {
    code.assign(table_size, -7);
    spectrum.assign(table_size, -7);
    line.assign(table_size, -7);
  }
  void run(const std::string &content, int capacity = 20000) {
    std::istringstream in(content);
    read_spectra(f.io, &in, "spectra.dat", SpectraTables{code, spectrum, line}, entries, specified,
                 largest, capacity, 1);
  }
  ConsoleFixture f;
  std::vector<std::int32_t> code, spectrum, line;
  std::int32_t entries = -1, specified = -1, largest = -1;
};

std::string counts(int entries, int largest) {
  return " Number of entries read from spectra file = " + std::to_string(entries) +
         "\n Largest spectrum number = " + std::to_string(largest) + "\n";
}

TEST(ReadSpectra, Entries) {
  struct Case {
    const char *what;
    std::string content;
    int specified;
    std::vector<std::int32_t> code, spectrum, line;
    int largest;
  };
  const Case cases[] = {
      {"header only", "title\n 0 entries\ncolumns\n", 0, {}, {}, {}, 0},
      {"one entry a line", "t\n2\nc\n113045 1\n523150 2\n", 2, {113045, 523150}, {1, 2}, {4, 5}, 2},
      {"entry over two lines, extra values ignored, blank line skipped",
       "t\n3\nc\n113045\n   7\n\n523150 2 99 88\n  513000,3\n",
       3,
       {113045, 523150, 513000},
       {7, 2, 3},
       {4, 7, 8},
       7},
      {"CR LF line ends, tabs and commas",
       "t\r\n2\r\n\r\n113045\t5\r\n523150 , 4\r\n",
       2,
       {113045, 523150},
       {5, 4},
       {4, 5},
       5},
      {"largest ignores numbers below 1", "t\n2\nc\n1 0\n2 -4\n", 2, {1, 2}, {0, -4}, {4, 5}, 0},
      {"count line with text after it, no final line end",
       "t\n 1 entry\nc\n901050 12",
       1,
       {901050},
       {12},
       {4},
       12},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Read r;
    r.run(c.content);
    const int n = static_cast<int>(c.code.size());
    EXPECT_EQ(r.entries, n);
    EXPECT_EQ(r.specified, c.specified);
    EXPECT_EQ(r.largest, c.largest);
    EXPECT_EQ(std::vector<std::int32_t>(r.code.begin() + 1, r.code.begin() + 1 + n), c.code);
    EXPECT_EQ(std::vector<std::int32_t>(r.spectrum.begin() + 1, r.spectrum.begin() + 1 + n),
              c.spectrum);
    EXPECT_EQ(std::vector<std::int32_t>(r.line.begin() + 1, r.line.begin() + 1 + n), c.line);
    EXPECT_EQ(r.code[static_cast<std::size_t>(n) + 1], -7); // nothing past the entries
    EXPECT_EQ(r.f.text(), counts(n, c.largest));
  }
}

TEST(ReadSpectra, CodeWithoutSpectrumAtEndStaysUncounted) {
  Read r;
  r.run("t\n2\nc\n113045 1\n523150\n");
  EXPECT_EQ(r.entries, 1);
  EXPECT_EQ(r.code[2], 523150);
  EXPECT_EQ(r.spectrum[2], -7);
  EXPECT_EQ(r.f.text(), counts(1, 1));
}

TEST(ReadSpectra, FailuresEndTheProgram) {
  struct Case {
    const char *what;
    std::string content;
    std::string last_line; // "" when only the file's name is asserted
  };
  const Case cases[] = {
      {"entry value not a whole number", "t\n2\nc\n113045 1\n523150 2.5\n",
       " ** Error reading spectra file **\n"},
      {"code not a whole number", "t\n1\nc\nabc 1\n", " ** Error reading spectra file **\n"},
      {"two lines only", "t\n2\n", ""},
      {"empty file", "", ""},
      {"count not a whole number", "t\nmany\nc\n113045 1\n", ""},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.what);
    Read r;
    EXPECT_TRUE(r.f.stops([&] { r.run(c.content); }));
    if (c.last_line.empty()) {
      EXPECT_NE(r.f.text().find("spectra.dat"), std::string::npos) << r.f.text();
    } else {
      EXPECT_EQ(r.f.text(), c.last_line);
    }
    EXPECT_EQ(r.f.text().find("Number of entries"), std::string::npos);
  }
}

std::string entries_file(int n, bool trailing_code = false) {
  std::string s = "t\n" + std::to_string(n) + "\nc\n";
  for (int i = 1; i <= n; ++i)
    s += "113045 " + std::to_string(i) + "\n";
  if (trailing_code)
    s += "113045\n";
  return s;
}

TEST(ReadSpectra, NeverReadsPastTheTables) {
  {
    SCOPED_TRACE("a full detector map");
    Read r;
    r.run(entries_file(20000, true));
    EXPECT_EQ(r.entries, 20000);
    EXPECT_EQ(r.largest, 20000);
  }
  {
    SCOPED_TRACE("one entry more than the detector map holds");
    Read r;
    EXPECT_TRUE(r.f.stops([&] { r.run(entries_file(20001)); }));
    EXPECT_EQ(r.f.text(), " ** ERROR: spectra file has more than 20000 entries\n");
  }
  {
    SCOPED_TRACE("tables smaller than the capacity given");
    Read r(4);
    EXPECT_TRUE(r.f.stops([&] { r.run(entries_file(4), 20000); }));
    EXPECT_EQ(r.f.text(), " ** ERROR: spectra file has more than 3 entries\n");
  }
}

TEST(ReadSpectra, AsksForTheFileWhenNotOpen) {
  testing::ScratchDir dir;
  testing::write_file("spectra.dat", "t\n1\nc\n113045 1\n");
  Read r;
  r.f.in.str("\n");
  read_spectra(r.f.io, nullptr, "", SpectraTables{r.code, r.spectrum, r.line}, r.entries,
               r.specified, r.largest, 20000, 0);
  const std::string full = (dir.path() / "spectra.dat").string();
  EXPECT_EQ(r.f.text(), " Give full name of spectra file (spectra.dat) >  File found : " + full +
                            "\n" + counts(1, 1));
  EXPECT_EQ(r.entries, 1);
}

} // namespace
} // namespace bantrisk
