// Runs the built program on the cases under tests/e2e/: each case folder holds `answers` (the
// console input), optionally `env` (NAME=VALUE lines; nothing else is in the environment) and
// `input/` (files copied into the scratch folder first), and `expected/` with `console`, `status`
// and `files/` (files the run must leave, compared whole). "@DIR@" in expected text and in
// `env` stands for the scratch folder.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <vector>

#include "program_runner.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

const fs::path cases_root = tests_root / "e2e";

std::vector<std::string> case_names() {
  std::vector<std::string> names;
  if (fs::is_directory(cases_root))
    for (const auto &entry : fs::directory_iterator(cases_root))
      if (entry.is_directory())
        names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

class EndToEnd : public ::testing::TestWithParam<std::string> {};

TEST_P(EndToEnd, ConsoleStatusAndFiles) {
  const fs::path dir = cases_root / GetParam();
  ScratchDir scratch;
  const std::string here = scratch.str();
  if (fs::is_directory(dir / "input"))
    fs::copy(dir / "input", scratch.path(), fs::copy_options::recursive);

  const int status = run_in(scratch, case_env(dir, here), shell_quoted(BANTRISK_BINARY),
                            (dir / "answers").string());
  ASSERT_NE(status, -1);
  const std::string expected_status = read_file(dir / "expected" / "status");
  EXPECT_EQ(status, std::atoi(expected_status.c_str())) << read_file(".errors");

  const std::string expected_console =
      replace_all(read_file(dir / "expected" / "console"), "@DIR@", here);
  const std::string console = read_file(".console");
  EXPECT_TRUE(console == expected_console) << first_difference(expected_console, console);
  if (fs::exists(dir / "expected" / "stderr")) {
    EXPECT_EQ(read_file(".errors"), read_file(dir / "expected" / "stderr"));
  }

  expect_files_as(dir / "expected" / "files", scratch);
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(case_names()),
                         [](const auto &info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EndToEnd);

} // namespace

namespace {

const fs::path demo_expected = fs::path(BANTRISK_TEST_DATA).parent_path() / "e2e-demo" / "expected";

// Runs the built program in the scratch folder with the demo's environment; returns its status.
int run_demo(const ScratchDir &scratch, const std::string &answers) {
  write_file(scratch.path() / ".answers", answers);
  return run_in(scratch, demo_env(scratch), shell_quoted(BANTRISK_BINARY), ".answers");
}

// The answers of tools/demo-answers.txt, without their comments.
std::string demo_answers() {
  std::istringstream in(read_file(fs::path(BANTRISK_TEST_DATA).parent_path().parent_path() /
                                  "tools" / "demo-answers.txt"));
  std::string answers;
  for (std::string line; std::getline(in, line);) {
    line = line.substr(0, line.find('#'));
    const auto end = line.find_last_not_of(" \t");
    line.resize(end == std::string::npos ? 0 : end + 1);
    answers += line + "\n";
  }
  return answers;
}

void expect_same(const std::string &what, const std::string &want, const std::string &got) {
  EXPECT_TRUE(want == got) << what << ": " << first_difference(want, got);
}

} // namespace

// The Quick start's demo from start to end: option 1 on the generated 7000-spectrum run with the
// documented answers, then option 2 on the integrals it saved, which must give the same report.
// The expected files were checked against an independent calculation: the integrals against the
// generator's own totals, the zero-count rows, the dead-spectra and low/high sections and the
// mask against a separate implementation of the checks.
TEST(DemoRun, OptionOneThenOptionTwoGiveTheSameReport) {
  ScratchDir scratch;
  make_demo(scratch);
  const std::string here = scratch.str();
  ASSERT_EQ(run_demo(scratch, demo_answers()), 0) << read_file(".errors");
  expect_same("console", replace_all(read_file(demo_expected / "console"), "@DIR@", here),
              read_file(".console"));
  for (const char *file : {"bantrisk.dat", "bantrisk.ans", "bantrisk.mask"})
    expect_same(file, replace_all(read_file(demo_expected / file), "@DIR@", here), read_file(file));

  // Option 2 from the saved integrals: the same results file but for the input file's name.
  const std::string first = read_file("bantrisk.dat");
  ASSERT_EQ(run_demo(scratch, "2\n\n1\n\n\n9\n0\n0\n\n"), 0) << read_file(".errors");
  const std::string raw_name = " " + here + "/raw/KRV01234.RAW";
  const std::string ans_name = " " + here + "/bantrisk.ans";
  std::string expected = first;
  expected.replace(expected.find(raw_name), raw_name.size(),
                   ans_name + std::string(raw_name.size() - ans_name.size(), ' '));
  expect_same("bantrisk.dat after option 2", expected, read_file("bantrisk.dat"));
  EXPECT_EQ(read_file(".console").find("Error"), std::string::npos);
}
