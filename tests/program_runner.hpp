#pragma once
// Running the built program and the generator from the end-to-end tests: shell quoting, the
// "@DIR@" placeholder of expected texts, readable differences and the demo instrument.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <sys/wait.h>

#include "driver_harness.hpp"

namespace bantrisk::testing {

inline const std::filesystem::path tests_root =
    std::filesystem::path(BANTRISK_TEST_DATA).parent_path();

inline std::string replace_all(std::string s, const std::string &from, const std::string &to) {
  for (auto pos = s.find(from); pos != std::string::npos; pos = s.find(from, pos + to.size()))
    s.replace(pos, from.size(), to);
  return s;
}

inline std::string shell_quoted(const std::string &s) {
  return "'" + replace_all(s, "'", "'\\''") + "'";
}

// The first line where the two texts differ, for a readable failure.
inline std::string first_difference(const std::string &expected, const std::string &actual) {
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

// Runs `command` (already quoted) in the scratch folder with only PATH and `env` (quoted
// NAME=VALUE words) in the environment, standard input from `input`, standard output and error
// into .console and .errors. Returns the exit status, -1 when the program did not exit.
inline int run_in(const ScratchDir &scratch, const std::string &env, const std::string &command,
                  const std::string &input = "/dev/null") {
  const std::string line = "cd " + shell_quoted(scratch.str()) + " && env -i PATH=/usr/bin:/bin " +
                           env + " " + command + " < " + shell_quoted(input) +
                           " > .console 2> .errors";
  const int raw = std::system(line.c_str());
  return WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
}

// Every file under `expected` (its "@DIR@" standing for the scratch folder) must be in the
// scratch folder with the same bytes.
inline void expect_files_as(const std::filesystem::path &expected, const ScratchDir &scratch) {
  if (!std::filesystem::is_directory(expected))
    return;
  for (const auto &entry : std::filesystem::recursive_directory_iterator(expected)) {
    if (!entry.is_regular_file())
      continue;
    const auto rel = std::filesystem::relative(entry.path(), expected);
    ASSERT_TRUE(std::filesystem::exists(scratch.path() / rel)) << rel;
    const std::string want = replace_all(read_file(entry.path()), "@DIR@", scratch.str());
    const std::string got = read_file(scratch.path() / rel);
    EXPECT_TRUE(want == got) << rel << ": " << first_difference(want, got);
  }
}

// The environment of an end-to-end case folder: its `env` file's NAME=VALUE lines, quoted, with
// "@DIR@" standing for the scratch folder `here`.
inline std::string case_env(const std::filesystem::path &dir, const std::string &here) {
  std::string env;
  if (std::filesystem::exists(dir / "env")) {
    std::istringstream lines(replace_all(read_file(dir / "env"), "@DIR@", here));
    for (std::string line; std::getline(lines, line);)
      if (!line.empty())
        env += " " + shell_quoted(line);
  }
  return env;
}

// The demo instrument of the Quick start, made by the generator in the scratch folder: the run
// file in raw/, the spectra file and the list beside where bantrisk runs.
inline void make_demo(const ScratchDir &scratch) {
  const std::string command = "cd " + shell_quoted(scratch.str()) + " && " +
                              shell_quoted(BANTRISK_MKRUN) +
                              " --spectra 7000 --channels 500 --seed 1 --dir . "
                              "--spectra-file spectra_7000.dat --summary planted.txt >/dev/null"
                              " && mkdir raw && mv KRV01234.RAW raw/";
  ASSERT_EQ(std::system(command.c_str()), 0);
}

// The demo's environment.
inline std::string demo_env(const ScratchDir &scratch) {
  return shell_quoted("KRV_DATA=" + scratch.str() + "/raw/") + " " +
         shell_quoted("Z_R=" + scratch.str() + "/");
}

} // namespace bantrisk::testing
