// The synthetic-run generator: its plan against the detector numbering of the program, and the
// files it writes read back through the run-file layer.
#include "../tools/mkrun_plan.hpp"
#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"
#include "lib/capacities.hpp"
#include "lib/detector_numbering.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using bantrisk::dataaccess::RunFile;
using bantrisk::dataaccess::Session;
using bantrisk::mkrun::make_plan;
using bantrisk::mkrun::Plan;

// Module index of a detector code through the program's own numbering; 0 outside modules.
int module_of_code(std::int32_t code) {
  int bank = 0, side = 0, module = 0, group = 0, element = 0;
  bantrisk::deconstruct_ndet(code, bank, side, module, group, element);
  if (group >= 2 ||
      !bantrisk::names_module(bantrisk::default_modules_per_side, bank, side, module)) {
    return 0;
  }
  return bantrisk::module2index(bantrisk::default_modules_per_side, bank, side, module);
}

class PlanSizes : public testing::TestWithParam<int> {};

TEST_P(PlanSizes, SpectraFileDescribesTheRun) {
  const int n = GetParam();
  const Plan plan = make_plan(n, 20, 3, 10000.0);
  std::int32_t largest = 0;
  std::map<std::int32_t, int> listed;
  std::vector<int> per_module(99, 0);
  for (const auto &e : plan.entries) {
    largest = std::max(largest, e.spectrum);
    ++listed[e.spectrum];
    const int k = module_of_code(e.code);
    EXPECT_EQ(k, plan.module_of[e.spectrum - 1]) << "code " << e.code;
    if (k > 0) {
      ++per_module[k];
    }
  }
  EXPECT_EQ(largest, n);
  // Every spectrum listed, but at full size, where the second listing of one spectrum takes the
  // place of a spectrum outside the modules.
  EXPECT_LE(static_cast<int>(plan.entries.size()), bantrisk::max_spectra);
  EXPECT_EQ(static_cast<int>(listed.size()), n == bantrisk::max_spectra ? n - 1 : n);
  EXPECT_EQ(listed.count(plan.unlisted_spectrum), 0U);
  if (plan.unlisted_spectrum != 0) {
    EXPECT_EQ(plan.module_of[plan.unlisted_spectrum - 1], 0);
  }
  int twice = 0;
  for (const auto &[s, times] : listed) {
    twice += times == 2 ? 1 : 0;
    EXPECT_LE(times, 2);
  }
  EXPECT_EQ(twice, 1);
  if (n >= 1000) {
    for (int k = 1; k <= 98; ++k) {
      EXPECT_GE(per_module[k], 5) << "module " << k;
    }
    EXPECT_TRUE(plan.notes.empty());
    EXPECT_NE(plan.dead_module, 0);
    EXPECT_NE(plan.partly_dead_module, 0);
    EXPECT_EQ(plan.low_modules.size(), 1U);
    EXPECT_EQ(plan.high_modules.size(), 1U);
    EXPECT_EQ(plan.low_spectra.size(), 8U) << "one low spectrum in every bank";
    EXPECT_EQ(plan.high_spectra.size(), 8U);
  }
  // Non-module detectors (element group 2, bank 9) appear for normal sizes.
  const bool has_outside = std::any_of(plan.entries.begin(), plan.entries.end(),
                                       [](const auto &e) { return module_of_code(e.code) == 0; });
  EXPECT_EQ(has_outside, n >= 100);
  // Empty spectra are exactly the ones without counts.
  for (std::int32_t s : plan.zero_spectra) {
    EXPECT_EQ(plan.totals[s - 1], 0);
  }
  const auto zeros = std::count(plan.totals.begin(), plan.totals.end(), 0);
  EXPECT_EQ(static_cast<std::size_t>(zeros), plan.zero_spectra.size());
}

INSTANTIATE_TEST_SUITE_P(Sizes, PlanSizes,
                         testing::Values(1, 50, 98, 99, 150, 300, 1000, 7000, 20000));

TEST(Plan, PartlyDeadModuleHasMoreThanEightDeadSpectraAndALiveOne) {
  for (int n : {300, 7000}) {
    const Plan plan = make_plan(n, 10, 9, 10000.0);
    ASSERT_NE(plan.partly_dead_module, 0) << n;
    int dead = 0;
    int live = 0;
    for (std::int32_t s = 1; s <= n; ++s) {
      if (plan.module_of[s - 1] == plan.partly_dead_module) {
        (plan.totals[s - 1] == 0 ? dead : live) += 1;
      }
    }
    EXPECT_GT(dead, 8) << n;
    EXPECT_GT(live, 0) << n;
  }
}

TEST(Plan, RefusesSizesBeyondTheProgramsCapacity) {
  EXPECT_THROW(make_plan(0, 10, 1, 100.0), std::invalid_argument);
  EXPECT_THROW(make_plan(20001, 10, 1, 100.0), std::invalid_argument);
  EXPECT_THROW(make_plan(10, 0, 1, 100.0), std::invalid_argument);
  EXPECT_THROW(make_plan(10, 10000, 1, 100.0), std::invalid_argument);
}

TEST(ChannelShape, CountsAddUpToTheTotalAndAreNeverNegative) {
  for (int channels : {1, 7, 2000}) {
    const auto shape = bantrisk::mkrun::channel_shape(channels, 5);
    std::vector<std::int32_t> counts(channels);
    for (std::int32_t total : {0, 1, 3, 9999, 123457}) {
      for (double offset : {0.0, 0.5, 0.999999}) {
        bantrisk::mkrun::spread_counts(total, shape, offset, counts.data());
        long long sum = 0;
        for (std::int32_t c : counts) {
          ASSERT_GE(c, 0);
          sum += c;
        }
        EXPECT_EQ(sum, total) << channels << " channels, offset " << offset;
      }
    }
  }
}

// A scratch folder for one test, removed afterwards.
struct Scratch {
  fs::path dir;
  explicit Scratch(const std::string &name)
      : dir(fs::temp_directory_path() /
            ("bantrisk_mkrun_" + name + "_" + std::to_string(::getpid()))) {
    fs::remove_all(dir);
  }
  ~Scratch() { fs::remove_all(dir); }
};

int mkrun(const std::string &arguments) {
  const std::string command = std::string(BANTRISK_MKRUN) + " " + arguments + " > /dev/null";
  return std::system(command.c_str());
}

std::vector<std::int32_t> read_integrals_file(const fs::path &file) {
  std::ifstream in(file);
  std::vector<std::int32_t> totals;
  int s = 0;
  std::int32_t t = 0;
  while (in >> s >> t) {
    totals.push_back(t);
  }
  return totals;
}

// Totals of every spectrum as the program integrates them through the session, the spectra
// fetched in ascending order or, `backwards`, descending.
std::vector<std::int32_t> integrate_run(const fs::path &file, bool backwards = false) {
  Session session;
  session.mf_activate_session("MORLA", 0, 0);
  session.mf_select_source(file.string());
  std::int32_t spectra = 0, channels = 0;
  session.mf_get("h_NSP1", "NSP1", 0);
  session.mf_get("h_NTC1", "NTC1", 0);
  session.mf_transfer("h_NSP1", "-->", "INT32", &spectra, 0, 0);
  session.mf_transfer("h_NTC1", "-->", "INT32", &channels, 0, 0);
  std::vector<float> b(channels + 1);
  std::vector<double> y(channels + 1);
  std::vector<std::int32_t> totals(static_cast<std::size_t>(spectra));
  for (int k = 1; k <= spectra; ++k) {
    const int s = backwards ? spectra + 1 - k : k;
    session.mf_get("h_DATA", " ", s);
    session.mf_transfer("h_DATA.X", "-->", "FLOAT32[]", b.data(), 1, channels + 1);
    session.mf_transfer("h_DATA.Y", "-->", "FLOAT64[]", y.data(), 1, channels + 1);
    std::int32_t sum = 0;
    for (int i = 0; i < channels; ++i) {
      sum += static_cast<std::int32_t>(
          std::lround(static_cast<float>(static_cast<double>(b[i + 1] - b[i]) * y[i])));
    }
    totals[static_cast<std::size_t>(s - 1)] = sum;
  }
  session.mf_deactivate_session();
  return totals;
}

TEST(Mkrun, SmallRunReadsBackAndIsDeterministic) {
  Scratch scratch("small");
  const std::string dir = scratch.dir.string();
  ASSERT_EQ(mkrun("--spectra 300 --channels 50 --seed 5 --dir " + dir + " --integrals totals.txt"),
            0);
  const auto planned = read_integrals_file(scratch.dir / "totals.txt");
  ASSERT_EQ(planned.size(), 300U);
  EXPECT_EQ(integrate_run(scratch.dir / "KRV01234.RAW"), planned);

  std::ifstream list(scratch.dir / "specfile.dat");
  std::stringstream list_text;
  list_text << list.rdbuf();
  EXPECT_EQ(list_text.str(), "1\n300 spectra_300.dat\n");
  std::ifstream spectra_file(scratch.dir / "spectra_300.dat");
  std::string line;
  std::getline(spectra_file, line);
  int entries = 0;
  spectra_file >> entries;
  EXPECT_EQ(entries, 301) << "300 spectra, one listed twice";

  // Same seed, same counts; another seed, other counts.
  ASSERT_EQ(mkrun("--spectra 300 --channels 50 --seed 5 --dir " + dir +
                  " --run-file again.RAW --integrals again.txt"),
            0);
  EXPECT_EQ(integrate_run(scratch.dir / "again.RAW"), planned);
  ASSERT_EQ(mkrun("--spectra 300 --channels 50 --seed 6 --dir " + dir +
                  " --run-file other.RAW --integrals other.txt"),
            0);
  EXPECT_NE(integrate_run(scratch.dir / "other.RAW"), planned);
}

// Runs larger than one block, compressed or not, with chunks shorter and taller than a block;
// chunks shorter than a block are read as stored, also when the spectra are asked backwards.
TEST(Mkrun, ManyBlocksReadBackExactly) {
  Scratch scratch("blocks");
  const std::string dir = scratch.dir.string();
  struct Case {
    const char *name;
    const char *options;
    bool filtered;
    bool direct;
  };
  const std::vector<Case> cases = {
      {"plain.RAW", "--chunk-spectra 7", false, true},
      {"gzip.RAW", "--chunk-spectra 7 --gzip 1", true, true},
      {"tall.RAW", "--chunk-spectra 2500 --gzip", true, false},
      {"tall_plain.RAW", "--chunk-spectra 2500", false, false},
  };
  for (const Case &c : cases) {
    ASSERT_EQ(mkrun(std::string("--spectra 3000 --channels 400 --seed 11 --dir ") + dir +
                    " --run-file " + c.name + " --integrals totals.txt " + c.options),
              0)
        << c.name;
    {
      RunFile run((scratch.dir / c.name).string());
      EXPECT_LT(run.plan().block_spectra, 3000) << c.name;
      EXPECT_EQ(run.plan().filtered, c.filtered) << c.name;
      EXPECT_EQ(run.plan().direct_chunks, c.direct) << c.name;
      EXPECT_LE(run.plan().block_bytes, bantrisk::dataaccess::block_target_bytes) << c.name;
    }
    const auto planned = read_integrals_file(scratch.dir / "totals.txt");
    EXPECT_EQ(integrate_run(scratch.dir / c.name), planned) << c.name;
    EXPECT_EQ(integrate_run(scratch.dir / c.name, true), planned) << c.name;
  }
}

TEST(Mkrun, SummaryNamesThePlantedFaults) {
  Scratch scratch("summary");
  ASSERT_EQ(mkrun("--spectra 7000 --channels 20 --dir " + scratch.dir.string()), 0);
  std::ifstream in(scratch.dir / "planted.txt");
  std::map<std::string, std::vector<std::string>> lines;
  std::string line;
  while (std::getline(in, line)) {
    std::istringstream words(line);
    std::string key, rest;
    words >> key;
    std::getline(words, rest);
    lines[key].push_back(rest);
  }
  EXPECT_EQ(lines["spectra"], std::vector<std::string>{" 7000"});
  EXPECT_EQ(lines["dead_module"], std::vector<std::string>{" 3W1"});
  EXPECT_EQ(lines["partly_dead_module"], std::vector<std::string>{" 5E7 9"});
  EXPECT_EQ(lines["low_module"], std::vector<std::string>{" 4E4"});
  EXPECT_EQ(lines["high_module"], std::vector<std::string>{" 5W9"});
  EXPECT_EQ(lines["low_spectrum"].size(), 8U);
  EXPECT_EQ(lines["high_spectrum"].size(), 8U);
  EXPECT_EQ(lines.count("note"), 0U);
}

TEST(Mkrun, BadOptionsAreRefused) {
  for (const char *args :
       {"", "--spectra 10", "--spectra 20001 --channels 5", "--spectra 10 --channels 5 --gzip 12",
        "--spectra x --channels 5", "--spectra 10 --channels 5 --colour red"}) {
    EXPECT_NE(mkrun(std::string(args) + " --dir /nonexistent_unused 2>/dev/null"), 0) << args;
  }
}

} // namespace

// Beyond a file-size limit the writer fails, naming the file and the cause, and leaves no run
// (complete or half-written) behind.
TEST(Mkrun, FileSizeLimitIsReportedAndLeavesNoRun) {
  Scratch scratch("limit");
  fs::create_directories(scratch.dir);
  const fs::path err = scratch.dir / "stderr.txt";
  const std::string command = "ulimit -f 256; exec " + std::string(BANTRISK_MKRUN) +
                              " --spectra 2000 --channels 500 --dir " + scratch.dir.string() +
                              " > /dev/null 2> " + err.string();
  const int status = std::system(("sh -c '" + command + "'").c_str());
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 1);
  std::ifstream in(err);
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_NE(text.str().find("** ERROR in run file " + (scratch.dir / "KRV01234.RAW").string() +
                            " : cannot "),
            std::string::npos)
      << text.str();
  EXPECT_NE(text.str().find(" ("), std::string::npos) << "no cause: " << text.str();
  // Nothing at all: neither the run nor its temporary file, nor the text files that follow it.
  EXPECT_EQ(std::distance(fs::directory_iterator(scratch.dir), fs::directory_iterator()), 1)
      << "only stderr.txt";
}
