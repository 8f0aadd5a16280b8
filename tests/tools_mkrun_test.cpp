// The synthetic-run generator: its plan against the detector numbering of the program, and the
// files it writes read back through the run-file layer.
#include "../tools/mkrun_plan.hpp"
#include "dataaccess/dataaccess.hpp"
#include "dataaccess/nexus_run.hpp"
#include "lib/capacities.hpp"
#include "lib/detector_numbering.hpp"
#include "lib/statistics.hpp"

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
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

// The Poisson sampler against the Poisson law itself: for means on both sides of the switch
// between its two methods, the frequencies of 200000 draws against the probabilities (formed
// with lgamma, apart from the sampler's own factorials), as one chi-square over bins of at least
// 20 expected draws.
TEST(Poisson, DrawsFollowThePoissonLaw) {
  for (const double mean : {0.01, 0.5, 3.0, 9.99, 10.0, 10.5, 37.0, 1000.0, 1.0e5}) {
    SCOPED_TRACE(mean);
    constexpr int draws = 200000;
    bantrisk::mkrun::SplitMix64 random(static_cast<std::uint64_t>(mean * 1000.0));
    std::map<std::int64_t, int> seen;
    for (int i = 0; i < draws; ++i) {
      ++seen[bantrisk::mkrun::poisson(mean, random)];
    }
    ASSERT_GE(seen.begin()->first, 0);
    // Bins from the lowest k up, each closed once it expects 20 draws; the rest of the tail goes
    // into the last one.
    std::vector<std::pair<double, double>> bins{{0.0, 0.0}}; // expected, observed
    const auto top = static_cast<std::int64_t>(mean + 20.0 * std::sqrt(mean) + 20.0);
    for (std::int64_t k = 0; k <= top; ++k) {
      if (bins.back().first >= 20.0) {
        bins.emplace_back(0.0, 0.0);
      }
      bins.back().first += draws * std::exp(-mean + static_cast<double>(k) * std::log(mean) -
                                            std::lgamma(static_cast<double>(k) + 1.0));
      bins.back().second += seen.count(k) != 0 ? seen[k] : 0;
    }
    if (bins.size() > 1 && bins.back().first < 20.0) {
      bins[bins.size() - 2].first += bins.back().first;
      bins[bins.size() - 2].second += bins.back().second;
      bins.pop_back();
    }
    double chi = 0.0;
    for (const auto &[e, o] : bins) {
      chi += (o - e) * (o - e) / e;
    }
    EXPECT_LE(seen.rbegin()->first, top);
    const double freedom = std::max(static_cast<double>(bins.size()) - 1.0, 1.0);
    EXPECT_LT((chi - freedom) / std::sqrt(2.0 * freedom), 5.0) << bins.size() << " bins";
  }
}

// Poisson runs looked at by an independent oracle (tests/mkrun_oracle.py, h5py and numpy): the
// channel counts add up to the totals, every cell is a Poisson count of its expected mean (a
// chi-square over all cells), the healthy totals have mean and variance M, the planted modules
// and spectra hold their factor, and the medians of the checks agree with numpy's.
struct PoissonCase {
  const char *name;
  bantrisk::mkrun::PlanOptions plan;
};

std::vector<PoissonCase> poisson_cases() {
  using bantrisk::mkrun::PlanOptions;
  auto options = [](int spectra, int channels, std::uint64_t seed, double level) {
    PlanOptions o;
    o.spectra = spectra;
    o.channels = channels;
    o.seed = seed;
    o.poisson = level;
    return o;
  };
  std::vector<PoissonCase> cases;
  // The demo instrument at 20 counts, with a reference at 3.7 times and 20 spectra at 1.2 times
  // that: channel means near 0.04 (the inversion).
  cases.push_back({"demo at 20", options(7000, 500, 1, 20.0)});
  cases.back().plan.reference = true;
  cases.back().plan.reference_factor = 3.7;
  cases.back().plan.reference_spectra = {{20, 1.2}};
  // The faults of the benchmark, at 1000 counts in 50 channels: means on both sides of 10.
  cases.push_back({"faults at 1000", options(7000, 50, 2, 1000.0)});
  cases.back().plan.modules_at = {{1, 0.0}, {1, 0.3}, {1, 2.0}};
  cases.back().plan.spectra_at = {{10, 0.2}, {10, 5.0}};
  // Large means (the rejection method), and a reference with dead spectra.
  cases.push_back({"large means", options(500, 20, 3, 200000.0)});
  cases.back().plan.modules_at = {{2, 0.5}};
  cases.back().plan.reference = true;
  cases.back().plan.reference_spectra = {{5, 0.0}};
  // Fewer counts than channels: mostly empty cells, spectra dead by chance.
  cases.push_back({"below one count", options(300, 7, 4, 0.7)});
  return cases;
}

std::string plan_arguments(const bantrisk::mkrun::PlanOptions &o) {
  std::ostringstream a;
  a << "--spectra " << o.spectra << " --channels " << o.channels << " --seed " << o.seed
    << " --poisson " << *o.poisson;
  auto list = [&](const char *option, const std::vector<bantrisk::mkrun::Planting> &plantings) {
    for (const auto &p : plantings) {
      a << " " << option << " " << p.count << ":" << p.factor;
    }
  };
  list("--modules-at", o.modules_at);
  list("--spectra-at", o.spectra_at);
  if (o.reference) {
    a << " --reference-run ref.RAW --reference-integrals ref.txt --reference-factor "
      << o.reference_factor;
    list("--reference-spectra", o.reference_spectra);
  }
  return a.str();
}

// The oracle's lines, by their first word.
std::map<std::string, std::vector<std::vector<std::string>>> oracle(const fs::path &dir,
                                                                    bool reference) {
  const std::string command = std::string("/usr/bin/python3 ") + BANTRISK_MKRUN_ORACLE + " " +
                              dir.string() + " KRV01234.RAW totals.txt" +
                              (reference ? " ref.RAW ref.txt" : "");
  std::map<std::string, std::vector<std::vector<std::string>>> lines;
  FILE *out = ::popen(command.c_str(), "r");
  if (out == nullptr) {
    return lines;
  }
  std::string text;
  for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out)) {
    text.push_back(static_cast<char>(c));
  }
  EXPECT_EQ(::pclose(out), 0) << command << "\n" << text;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key, word;
    words >> key;
    std::vector<std::string> rest;
    while (words >> word) {
      rest.push_back(word);
    }
    lines[key].push_back(rest);
  }
  return lines;
}

// Within `sigmas` standard deviations of Poisson counts of mean `mean`: the sample mean and the
// sample variance of `n` counts.
void expect_poisson(const std::vector<std::string> &healthy, double mean, const char *what) {
  ASSERT_EQ(healthy.size(), 3U) << what;
  const double n = std::stod(healthy[0]);
  EXPECT_NEAR(std::stod(healthy[1]), mean, 5.0 * std::sqrt(mean / n)) << what;
  EXPECT_NEAR(std::stod(healthy[2]), mean, 5.0 * std::sqrt((mean + 2.0 * mean * mean) / n)) << what;
}

TEST(Mkrun, PoissonRunsAgreeWithTheOracle) {
  for (const PoissonCase &c : poisson_cases()) {
    SCOPED_TRACE(c.name);
    Scratch scratch("poisson");
    ASSERT_EQ(mkrun(plan_arguments(c.plan) + " --dir " + scratch.dir.string() +
                    " --integrals totals.txt"),
              0);
    const Plan plan = make_plan(c.plan);
    EXPECT_EQ(read_integrals_file(scratch.dir / "totals.txt"), plan.totals);
    auto o = oracle(scratch.dir, c.plan.reference);
    const double level = *c.plan.poisson;
    for (const char *prefix : {"", "reference_"}) {
      if (*prefix != '\0' && !c.plan.reference) {
        continue;
      }
      const std::string p = prefix;
      ASSERT_EQ(o[p + "sums_match"].size(), 1U);
      EXPECT_EQ(o[p + "sums_match"][0][0], "1");
      EXPECT_EQ(o[p + "dead_cells_empty"][0][0], "1");
      EXPECT_LT(std::fabs(std::stod(o[p + "channel_z"][0][0])), 5.0);
      EXPECT_LT(std::stod(o[p + "planted_z"][0][0]), 5.0);
      expect_poisson(o[p + "healthy"][0], level * (p.empty() ? 1.0 : c.plan.reference_factor),
                     prefix);
    }

    // The medians of the checks from the plan, by selection, against numpy's.
    std::map<int, std::vector<std::int32_t>> entry_totals;
    for (const auto &e : plan.entries) {
      if (const int k = plan.module_of[e.spectrum - 1]; k != 0) {
        entry_totals[k].push_back(plan.totals[e.spectrum - 1]);
      }
    }
    std::map<std::string, double> module_medians;
    std::map<int, std::vector<float>> averages;
    for (auto &[k, totals] : entry_totals) {
      int bank = 0, side = 0, number = 0;
      bantrisk::index2module(bantrisk::default_modules_per_side, k, bank, side, number);
      std::string label = bantrisk::module_label(bank, side, number);
      label.erase(label.find_last_not_of(' ') + 1);
      long long sum = 0;
      int live = 0;
      std::vector<std::int32_t> counted;
      for (std::int32_t t : totals) {
        sum += t;
        live += t > 0 ? 1 : 0;
        if (t > 0) {
          counted.push_back(t);
        }
      }
      if (const auto m = bantrisk::median(counted)) {
        module_medians[label] = *m;
      }
      if (sum != 0) {
        averages[bantrisk::nbank18(bank)].push_back(
            static_cast<float>(static_cast<double>(sum) / live));
      }
    }
    ASSERT_EQ(o["module_median"].size(), module_medians.size());
    for (const auto &line : o["module_median"]) {
      EXPECT_EQ(module_medians[line[0]], std::stod(line[1])) << line[0];
    }
    ASSERT_EQ(o["bank_median"].size(), averages.size());
    for (const auto &line : o["bank_median"]) {
      EXPECT_EQ(bantrisk::median(averages[std::stoi(line[0])]), std::stod(line[1]))
          << "bank " << line[0];
    }
  }
}

// The places of the faults move with the seed; a reference run leaves the run as it was.
TEST(Mkrun, PlantedPlacesFollowTheSeedAndTheReferenceLeavesTheRun) {
  PoissonCase c = poisson_cases()[1];
  const Plan first = make_plan(c.plan);
  c.plan.seed = 5;
  const Plan other = make_plan(c.plan);
  auto places = [](const std::vector<bantrisk::mkrun::Planted> &planted) {
    std::vector<std::int32_t> at;
    for (const auto &p : planted) {
      at.push_back(p.at);
    }
    return at;
  };
  EXPECT_NE(places(first.planted_modules), places(other.planted_modules));
  EXPECT_NE(places(first.planted_spectra), places(other.planted_spectra));
  // Spectrum faults stand in distinct modules outside the faulty ones.
  std::set<int> hosts;
  for (const auto &p : other.planted_spectra) {
    EXPECT_TRUE(hosts.insert(other.module_of[p.at - 1]).second) << p.at;
  }
  for (const auto &p : other.planted_modules) {
    EXPECT_EQ(hosts.count(p.at), 0U);
  }
  c.plan.reference = true;
  c.plan.reference_spectra = {{30, 2.0}};
  const Plan with_reference = make_plan(c.plan);
  EXPECT_EQ(with_reference.totals, other.totals);
  EXPECT_EQ(places(with_reference.planted_spectra), places(other.planted_spectra));
  for (const auto &p : with_reference.reference_spectra) {
    EXPECT_EQ(hosts.count(with_reference.module_of[p.at - 1]), 0U) << p.at;
  }
}

TEST(Mkrun, BadOptionsAreRefused) {
  for (const char *args :
       {"", "--spectra 10", "--spectra 20001 --channels 5", "--spectra 10 --channels 5 --gzip 12",
        "--spectra x --channels 5", "--spectra 10 --channels 5 --colour red",
        "--spectra 10 --channels 5 --poisson 0", "--spectra 10 --channels 5 --poisson nan",
        "--spectra 10 --channels 5 --poisson 5 --mean-counts 5",
        "--spectra 10 --channels 5 --modules-at 1:0",
        "--spectra 10 --channels 5 --poisson 5 "
        "--spectra-at 1",
        "--spectra 10 --channels 5 --poisson 5 --spectra-at 0:2",
        "--spectra 10 --channels 5 --poisson 5 --spectra-at 1:-1",
        "--spectra 10 --channels 5 --poisson 5 --spectra-at 11:2",
        "--spectra 300 --channels 5 --poisson 5 --modules-at 99:2",
        "--spectra 10 --channels 5 --poisson 1e6 --modules-at 1:20",
        "--spectra 10 --channels 5 --reference-factor 2",
        "--spectra 10 --channels 5 --reference-run KRV01234.RAW",
        "--spectra 10 --channels 5 --integrals planted.txt"}) {
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

// --spectra-banks keeps the chosen spectra (faults and reference alike) in the banks named, and
// without it the same seed chooses as before.
TEST(Mkrun, SpectraBanksPlaceTheChosenSpectra) {
  Scratch scratch("banks");
  const std::string dir = scratch.dir.string();
  const std::string plan = "--spectra 7000 --channels 4 --poisson 100 --spectra-at 20:0.2 "
                           "--reference-run r.RAW --reference-spectra 20:1.2 --dir ";
  const auto chosen = [&](const std::string &sub) {
    std::multiset<char> banks;
    std::ifstream in(scratch.dir / sub / "planted.txt");
    for (std::string line; std::getline(in, line);) {
      std::istringstream words(line);
      std::string key, s, label;
      if (words >> key >> s >> label && (key == "spectrum_at" || key == "reference_spectrum_at"))
        banks.insert(label[0]);
    }
    return banks;
  };
  ASSERT_EQ(mkrun(plan + dir + "/placed --spectra-banks 2,6"), 0);
  const auto placed = chosen("placed");
  EXPECT_EQ(placed.size(), 40U);
  EXPECT_EQ(placed.count('2') + placed.count('6'), 40U);
  ASSERT_EQ(mkrun(plan + dir + "/free"), 0);
  ASSERT_EQ(mkrun(plan + dir + "/again"), 0);
  EXPECT_EQ(chosen("free"), chosen("again"));
  EXPECT_GT(chosen("free").count('5'), 0U);
  EXPECT_NE(mkrun(plan + dir + "/bad --spectra-banks 2,9 2>/dev/null"), 0);
}
