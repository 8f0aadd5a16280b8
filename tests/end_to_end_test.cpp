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

#include "driver_harness.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

const fs::path cases_root = fs::path(BANTRISK_TEST_DATA).parent_path() / "e2e";

std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (auto pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
  return s;
}

std::string shell_quoted(const std::string &s) {
  return "'" + replace_all(s, "'", "'\\''") + "'";
}

// The first line where the two texts differ, for a readable failure.
std::string first_difference(const std::string &expected, const std::string &actual) {
  std::istringstream e(expected), a(actual);
  std::string le, la;
  for (int line = 1;; ++line) {
    const bool more_e = static_cast<bool>(std::getline(e, le));
    const bool more_a = static_cast<bool>(std::getline(a, la));
    if (!more_e && !more_a)
      return "texts differ only in the final line end";
    if (!more_e || !more_a || le != la)
      return "line " + std::to_string(line) + "\n  expected: [" + (more_e ? le : "<end>") +
             "]\n  actual:   [" + (more_a ? la : "<end>") + "]";
  }
}

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

  std::string env = "env -i PATH=/usr/bin:/bin";
  if (fs::exists(dir / "env")) {
    std::istringstream lines(replace_all(read_file(dir / "env"), "@DIR@", here));
    for (std::string line; std::getline(lines, line);)
      if (!line.empty())
        env += " " + shell_quoted(line);
  }
  const std::string command = "cd " + shell_quoted(here) + " && " + env + " " +
                              shell_quoted(BANTRISK_BINARY) + " < " +
                              shell_quoted((dir / "answers").string()) + " > .console 2> .errors";
  const int raw = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(raw));
  const std::string expected_status = read_file(dir / "expected" / "status");
  EXPECT_EQ(WEXITSTATUS(raw), std::atoi(expected_status.c_str())) << read_file(".errors");

  const std::string expected_console =
      replace_all(read_file(dir / "expected" / "console"), "@DIR@", here);
  const std::string console = read_file(".console");
  EXPECT_TRUE(console == expected_console) << first_difference(expected_console, console);
  if (fs::exists(dir / "expected" / "stderr")) {
    EXPECT_EQ(read_file(".errors"), read_file(dir / "expected" / "stderr"));
  }

  if (fs::is_directory(dir / "expected" / "files"))
    for (const auto &entry : fs::recursive_directory_iterator(dir / "expected" / "files")) {
      if (!entry.is_regular_file())
        continue;
      const fs::path rel = fs::relative(entry.path(), dir / "expected" / "files");
      ASSERT_TRUE(fs::exists(scratch.path() / rel)) << rel;
      const std::string want = replace_all(read_file(entry.path()), "@DIR@", here);
      const std::string got = read_file(scratch.path() / rel);
      EXPECT_TRUE(want == got) << rel << ": " << first_difference(want, got);
    }
}

INSTANTIATE_TEST_SUITE_P(Cases, EndToEnd, ::testing::ValuesIn(case_names()),
                         [](const auto &info) { return info.param; });
GTEST_ALLOW_UNINSTANTIATED_PARAMETERIZED_TEST(EndToEnd);

} // namespace

namespace {

const fs::path demo_expected = fs::path(BANTRISK_TEST_DATA).parent_path() / "e2e-demo" / "expected";

// The demo instrument of the Quick start, made by the generator in the scratch folder: the run
// file in raw/, the spectra file and the list beside where bantrisk runs.
void make_demo(const ScratchDir &scratch) {
  const std::string command = "cd " + shell_quoted(scratch.str()) + " && " +
                              shell_quoted(BANTRISK_MKRUN) +
                              " --spectra 7000 --channels 500 --seed 1 --dir . "
                              "--spectra-file spectra_7000.dat --summary planted.txt >/dev/null"
                              " && mkdir raw && mv KRV01234.RAW raw/";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

// Runs the built program in the scratch folder with the demo's environment; returns its status.
int run_demo(const ScratchDir &scratch, const std::string &answers) {
  write_file(scratch.path() / ".answers", answers);
  const std::string here = scratch.str();
  const std::string command = "cd " + shell_quoted(here) + " && env -i PATH=/usr/bin:/bin " +
                              shell_quoted("KRV_DATA=" + here + "/raw/") + " " +
                              shell_quoted("Z_R=" + here + "/") + " " +
                              shell_quoted(BANTRISK_BINARY) + " < .answers > .console 2> .errors";
  const int raw = std::system(command.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
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
