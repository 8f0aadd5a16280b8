#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "driver/run_state.hpp"
#include "driver/sections.hpp"
#include "driver_harness.hpp"
#include "lib/console.hpp"
#include "lib/fields.hpp"
#include "lib/raw_location.hpp"

using namespace bantrisk;
using namespace bantrisk::testing;

namespace {

std::string padded(const std::string &s) {
  return s + std::string(80 - s.size(), ' ');
}

const std::string default_line =
    " Default specification of directory where .RAW files are stored: ";
const std::string dir_prompt = " Give alternative directory (or return for default) > ";

struct InstCase {
  int idef;
  std::string name_in;
  std::string answers;
  std::string console;
  std::string name_out;
  int idef_out;
};

TEST(GetInstname3, EachDefaultFlag) {
  const InstCase cases[] = {
      {1, "KRV", "\n", " Give 3 letter instrument name (KRV) > ", "KRV", 1},
      {1, "ABC", "XY\n", " Give 3 letter instrument name (ABC) > ", "XY ", 1},
      {3, "ABC", "\n", " Give 3 letter instrument name (KRV) > ", "KRV", 3},
      {0, "ABC", "\nKRVX\n", " Give 3 letter instrument name >  Give 3 letter instrument name > ",
       "KRV", 0},
      {2, "ABC", "\nZZZ\n",
       " ** WARNING in get_instname3: unexpected value idef = 2\n idef=0 will be assumed\n"
       " Give 3 letter instrument name >  Give 3 letter instrument name > ",
       "ZZZ", 0},
      {-7, "ABC", "QRS\n",
       " ** WARNING in get_instname3: unexpected value idef = -7\n idef=0 will be assumed\n"
       " Give 3 letter instrument name > ",
       "QRS", 0},
  };
  for (const InstCase &c : cases) {
    ConsoleFixture f(c.answers);
    std::string name = c.name_in;
    int idef = c.idef;
    get_instname3(f.console, name, idef);
    EXPECT_EQ(f.text(), c.console) << c.idef << " " << c.answers;
    EXPECT_EQ(name, c.name_out) << c.idef;
    EXPECT_EQ(idef, c.idef_out) << c.idef;
  }
}

struct DirCase {
  const char *what;
  std::optional<std::string> env; // KRV_DATA
  std::string answers;
  std::string directory; // expected, before padding
  int length;
  int refusals; // how many answers were refused as too long
};

TEST(GetRawDir, DefaultFromTheEnvironmentOrTyped) {
  const std::string long69(69, 'd');
  const std::string long68 = std::string(67, 'e') + "/";
  const std::string long100(100, 'f');
  const DirCase cases[] = {
      {"variable accepted", "D:\\runs\\", "\n", "D:\\runs\\", 8, 0},
      {"variable unset", std::nullopt, "\n", "", 0, 0},
      {"typed over the variable", "D:\\runs\\", "/data/\n", "/data/", 6, 0},
      {"typed with trailing blanks", std::nullopt, "/data/  \n", "/data/  ", 8, 0},
      {"68 characters fit", long68, "\n", long68, 68, 0},
      {"69 characters from the variable", long69, "\n/x/\n", "/x/", 3, 1},
      {"100 characters from the variable", long100, "\n\n/y/\n", "/y/", 3, 2},
      {"69 characters typed", std::nullopt, long69 + "\n\n", "", 0, 1},
      {"100 characters typed", "/r/", long100 + "\n\n", "/r/", 3, 1},
  };
  for (const DirCase &c : cases) {
    Env env;
    if (c.env)
      env["KRV_DATA"] = *c.env;
    ConsoleFixture f(c.answers, env);
    std::string directory(80, 'z');
    int length = -5;
    getrawdir(f.io, "KRV", directory, length);
    EXPECT_EQ(directory, padded(c.directory)) << c.what;
    EXPECT_EQ(length, c.length) << c.what;
    const std::string out = f.text();
    EXPECT_EQ(out.rfind(default_line + c.env.value_or("") + "\n" + dir_prompt, 0), 0u)
        << c.what << "\n"
        << out;
    std::size_t errors = 0;
    for (std::size_t p = out.find(" ** ERROR"); p != std::string::npos;
         p = out.find(" ** ERROR", p + 1))
      ++errors;
    EXPECT_EQ(errors, static_cast<std::size_t>(c.refusals)) << c.what << "\n" << out;
  }
}

TEST(GetRawDir, VariableNamedAfterTheInstrument) {
  ConsoleFixture f("\n", Env{{"ABC_DATA", "/abc/"}, {"KRV_DATA", "/krv/"}});
  std::string directory(80, ' ');
  int length = 0;
  getrawdir(f.io, "ABC", directory, length);
  EXPECT_EQ(directory, padded("/abc/"));
  EXPECT_EQ(length, 5);
}

struct NameCase {
  std::string directory;
  int length;
  std::string instrument;
  std::int32_t run;
  std::string extension;
  std::string name;
};

TEST(ComposeRawName, DirectoryInstrumentFiveDigitsExtension) {
  const NameCase cases[] = {
      {"D:\\runs\\", 8, "KRV", 1234, "RAW", "D:\\runs\\KRV01234.RAW"},
      {"D:\\runs\\", 8, "KRV", 7, "RAW", "D:\\runs\\KRV00007.RAW"},
      {"/data/", 6, "KRV", 12345, "RAW", "/data/KRV12345.RAW"},
      {"/data/", 6, "KRV", 0, "RAW", "/data/KRV00000.RAW"},
      {"/data/", 6, "KRV", 99999, "nxs", "/data/KRV99999.nxs"},
      {"", 0, "KRV", 1234, "RAW", "KRV01234.RAW"},
      {"/data/  ", 8, "KRV", 1, "RAW", "/data/  KRV00001.RAW"},
      {"/data/", 4, "AB ", 42, "R  ", "/datAB 00042.R  "},
      {std::string(67, 'a') + "/", 68, "KRV", 1, "RAW", std::string(67, 'a') + "/KRV00001.RAW"},
  };
  for (const NameCase &c : cases)
    EXPECT_EQ(compose_raw_name(padded(c.directory), c.length, c.instrument, c.run, c.extension),
              padded(c.name))
        << c.name;
}

TEST(ZeroFilledInt, FieldOfGivenWidth) {
  EXPECT_EQ(zero_filled_int(7, 5), "00007");
  EXPECT_EQ(zero_filled_int(0, 5), "00000");
  EXPECT_EQ(zero_filled_int(12345, 5), "12345");
  EXPECT_EQ(zero_filled_int(100000, 5), "*****");
  EXPECT_EQ(zero_filled_int(-1, 5), "*****");
  EXPECT_EQ(zero_filled_int(-1, 3), "***");
}

// The whole location dialogue: instrument, directory, extension, run number, existence check.
class LocateRawFile : public ::testing::Test {
protected:
  ScratchDir dir;
  std::unique_ptr<RunState> run = std::make_unique<RunState>();
  std::string data_dir = dir.str() + "/";
};

TEST_F(LocateRawFile, AsksUntilExtensionAndRunNumberFit) {
  write_file(dir.path() / "KRV00007.RAW", "x");
  ConsoleFixture f("\n\nRA\n\nRAW\n-1\n100000\n\n7\n", Env{{"KRV_DATA", data_dir}});
  locate_raw_file(f.io, *run);
  const std::string out = f.text();

  const std::string ext = " Give extension for raw data file ";
  const std::string expected_dialogue = " Give 3 letter instrument name (KRV) > " + default_line +
                                        data_dir + "\n" + dir_prompt + ext + "(RAW) > " + ext +
                                        "(RA) > " + ext + "(RA) > " + " Give run number > ";
  EXPECT_EQ(out.rfind(expected_dialogue, 0), 0u) << out;
  // -1 and 100000 are refused with a message; the empty answer is asked again silently.
  std::size_t questions = 0;
  for (std::size_t p = out.find(" Give run number > "); p != std::string::npos;
       p = out.find(" Give run number > ", p + 1))
    ++questions;
  EXPECT_EQ(questions, 4u);
  EXPECT_NE(out.find(" ** ERROR: run number -1 "), std::string::npos) << out;
  EXPECT_NE(out.find(" ** ERROR: run number 100000 "), std::string::npos) << out;

  const std::string name = data_dir + "KRV00007.RAW";
  EXPECT_EQ(run->raw_name, padded(name));
  EXPECT_EQ(run->extension, "RAW");
  EXPECT_EQ(run->run_number, 7);
  EXPECT_EQ(out.substr(out.size() - (name.size() + 15)), " File found : " + name + "\n");
  EXPECT_EQ(std::string(trimmed(run->full_input_name)), name);
}

TEST_F(LocateRawFile, MissingRawFileEndsTheProgram) {
  ConsoleFixture f("\n\n\n1234\n", Env{{"KRV_DATA", data_dir}});
  EXPECT_TRUE(f.stops([&] { locate_raw_file(f.io, *run); }));
  EXPECT_NE(f.text().find(" Failure locating file " + data_dir + "KRV01234.RAW\n"),
            std::string::npos)
      << f.text();
}

} // namespace
