// The further checks of `bantrisk check` (--statistic, --significance, --hard-mask,
// --mask-spectra lists, --reference, --fail-on, --tof-range) on Poisson runs of the generator,
// judged by an independent oracle (tests/check_oracle.py, numpy and h5py, written from the
// documented rules) and by what the generator planted.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "driver_harness.hpp"
#include "program_runner.hpp"

namespace fs = std::filesystem;
using namespace bantrisk::testing;

namespace {

int mkrun(const ScratchDir &scratch, const std::string &dir, const std::string &args) {
  return run_in(scratch, "",
                shell_quoted(BANTRISK_MKRUN) + " --dir " + dir + " --integrals totals.txt " + args);
}

// A check of the run in `dir` with its spectra file.
int check(const ScratchDir &scratch, const std::string &dir, const std::string &args) {
  std::string spectra;
  for (const auto &f : fs::directory_iterator(scratch.path() / dir))
    if (f.path().filename().string().starts_with("spectra_"))
      spectra = dir + "/" + f.path().filename().string();
  return run_in(scratch, "",
                shell_quoted(BANTRISK_BINARY) + " check -q --run-file " + dir +
                    "/KRV01234.RAW --spectra-file " + spectra + " " + args);
}

// The oracle's verdict on a summary: "checked N" alone when it agrees.
std::string oracle(const ScratchDir &scratch, const std::string &dir, const std::string &summary,
                   const std::string &args) {
  const std::string command = "/usr/bin/python3 " +
                              shell_quoted((tests_root / "check_oracle.py").string()) + " " + dir +
                              " " + summary + " " + args + " > .oracle 2>&1";
  const std::string line = "cd " + shell_quoted(scratch.str()) + " && " + command;
  const int status = std::system(line.c_str());
  return (status == 0 ? "" : "oracle failed: ") + read_file(scratch.path() / ".oracle");
}

// What is wrong with a JSON summary against docs/summary.schema.json: a line per fault, or
// nothing.
std::string schema_faults(const fs::path &summary) {
  const std::string command =
      "/usr/bin/python3 " + shell_quoted((tests_root / "validate_summary.py").string()) + " " +
      shell_quoted((tests_root.parent_path() / "docs" / "summary.schema.json").string()) + " " +
      shell_quoted(summary.string()) + " 2>&1";
  std::string faults;
  if (FILE *out = ::popen(command.c_str(), "r")) {
    for (int c = std::fgetc(out); c != EOF; c = std::fgetc(out))
      faults.push_back(static_cast<char>(c));
    if (::pclose(out) != 0)
      faults = "validator failed: " + faults;
  }
  return faults;
}

nlohmann::json json_of(const fs::path &file) {
  std::ifstream in(file);
  return nlohmann::json::parse(in, nullptr, false);
}

// The spectra planted by lines "KEY S LABEL F" of the generator's planted.txt.
std::set<int> planted_spectra(const fs::path &planted, const std::string &key) {
  std::set<int> spectra;
  std::ifstream in(planted);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string first;
    int s = 0;
    if (words >> first >> s && first == key)
      spectra.insert(s);
  }
  return spectra;
}

// The label of the module planted by a line "module_at LABEL F" with factor `factor`.
std::string planted_module(const fs::path &planted, const std::string &factor) {
  std::ifstream in(planted);
  for (std::string line; std::getline(in, line);) {
    std::istringstream words(line);
    std::string key, label, f;
    if (words >> key >> label >> f && key == "module_at" && f == factor)
      return label;
  }
  return {};
}

std::set<int> spectra_of(const nlohmann::json &list) {
  std::set<int> spectra;
  for (const auto &item : list)
    spectra.insert(item.is_object() ? item["spectrum"].get<int>() : item.get<int>());
  return spectra;
}

// One fault-laden run at 1000 counts, each case a check of it that the oracle judges in full.
TEST(FurtherChecks, EveryOptionAndCombinationAgreesWithTheOracle) {
  ScratchDir scratch;
  ASSERT_EQ(mkrun(scratch, "run",
                  "--spectra 7000 --channels 40 --seed 4 --poisson 1000 --modules-at 1:0 "
                  "--modules-at 1:0.2 --modules-at 1:2 --spectra-at 10:5 --spectra-at 10:0.2"),
            0)
      << read_file(scratch.path() / ".errors");
  const struct {
    const char *name;
    std::string options; // of the check
    std::string judged;  // the same choices told to the oracle
    int status;
  } cases[] = {
      {"mean", "--mask-spectra dead,low-high,modules --fail-on low-modules",
       "--mask-spectra dead,low-high,modules", 3},
      {"median", "--statistic median --mask-spectra low-high", "--median --mask-spectra low-high",
       0},
      {"significance", "--significance 3.3 --mask-spectra dead-low-high",
       "--significance 3.3 --mask-spectra dead,low-high", 0},
      {"median and significance",
       "--statistic median --significance 3.3 --mask-spectra modules,dead --fail-on varying",
       "--median --significance 3.3 --mask-spectra dead,modules", 0},
      {"hard mask", "--hard-mask hard.msk --statistic median --mask-spectra dead,modules",
       "--hard-mask hard.txt --median --mask-spectra dead,modules", 0},
      {"time-of-flight window", "--tof-range 3000:12000 --significance 3.3 --mask-spectra modules",
       "--tof-range 3000:12000 --significance 3.3 --mask-spectra modules", 0},
  };
  // The hard mask: every spectrum of the module planted at 2 times, and two more.
  const std::string twice = planted_module(scratch.path() / "run/planted.txt", "2");
  ASSERT_FALSE(twice.empty());
  {
    std::ofstream msk(scratch.path() / "hard.msk"), txt(scratch.path() / "hard.txt");
    msk << "# known bad\n";
    std::ifstream spectra(scratch.path() / "run/spectra_7000.dat");
    std::set<int> of_module;
    // The module's spectra from the spectra file: its code names the module.
    std::string text((std::istreambuf_iterator<char>(spectra)), {});
    std::istringstream lines(text);
    std::string skip;
    for (int i = 0; i < 3; ++i)
      std::getline(lines, skip);
    for (long code = 0, s = 0; lines >> code >> s;) {
      const long bank = code / 100000, side = code / 10000 % 10, module = code / 1000 % 10;
      const char sides[] = "EWUD";
      std::string label = std::to_string(bank) + sides[side] + std::to_string(module);
      if (bank == 5 && side >= 2)
        label = "5" + std::string(1, sides[side - 2]) + std::to_string(module + 9);
      if (label == twice && code % 1000 < 200)
        of_module.insert(static_cast<int>(s));
    }
    ASSERT_FALSE(of_module.empty());
    of_module.insert({1, 2});
    for (const int s : of_module) {
      msk << s << "\n";
      txt << s << "\n";
    }
  }
  for (const auto &c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(check(scratch, "run", c.options + " --mask m.msk --summary s.json"), c.status)
        << read_file(scratch.path() / ".errors");
    EXPECT_EQ(oracle(scratch, "run", "s.json", c.judged), "checked 7\n");
    const std::string results = read_file(scratch.path() / "bantrisk.dat");
    EXPECT_EQ(results.find(" Reference statistic = median\n") != std::string::npos,
              c.judged.find("--median") != std::string::npos);
    EXPECT_EQ(results.find(" Significance =   3.3000 error bars\n") != std::string::npos,
              c.judged.find("--significance") != std::string::npos);
    EXPECT_EQ(results.find(" Time-of-flight window = 3000 to 12000: time channels ") !=
                  std::string::npos,
              c.judged.find("--tof-range") != std::string::npos);
    EXPECT_EQ(schema_faults(scratch.path() / "s.json"), "");
    const nlohmann::json s = json_of(scratch.path() / "s.json");
    EXPECT_EQ(s.contains("tof_range"), c.judged.find("--tof-range") != std::string::npos);
    if (c.options.find("--hard-mask") != std::string::npos) {
      // The module is left out, not reported, and masked as such.
      for (const auto &m : s["modules"])
        EXPECT_NE(m["label"], twice);
      EXPECT_EQ(s["high_modules"].size(), 0U);
      EXPECT_EQ(s["hard_masked"].front(), 1);
      EXPECT_EQ(s["mask"]["masked_spectra"].front()["reasons"], nlohmann::json({"hard-mask"}));
    }
  }
}

// A check's own mask given back as its hard mask leaves the mask as it was.
TEST(FurtherChecks, OwnMaskAsHardMaskLeavesTheMaskUnchanged) {
  ScratchDir scratch;
  ASSERT_EQ(mkrun(scratch, "run",
                  "--spectra 7000 --channels 40 --seed 2 --poisson 1000 --modules-at 1:0 "
                  "--modules-at 1:2 --spectra-at 10:5 --spectra-at 10:0.2"),
            0);
  for (const std::string form : {"m.msk", "m.xml", "m.txt"}) {
    SCOPED_TRACE(form);
    const std::string again = "again" + form.substr(1);
    ASSERT_EQ(check(scratch, "run", "--mask " + form + " --mask-spectra dead,low-high,modules"), 0);
    ASSERT_EQ(check(scratch, "run",
                    "--hard-mask " + form + " --mask " + again +
                        " --mask-spectra dead,low-high,modules --results again.dat"),
              0)
        << read_file(scratch.path() / ".errors");
    EXPECT_EQ(read_file(scratch.path() / again), read_file(scratch.path() / form));
  }
}

// A reference equal to the run times 3.7 flags nothing; with 20 chosen spectra at 1.2 times it
// flags exactly those, read from a run file or from the integrals saved of it.
TEST(FurtherChecks, ReferenceFlagsExactlyTheSpectraThatChanged) {
  ScratchDir scratch;
  ASSERT_EQ(mkrun(scratch, "same",
                  "--spectra 3000 --channels 20 --seed 7 --poisson 100000 --reference-run "
                  "ref.RAW --reference-factor 3.7"),
            0);
  ASSERT_EQ(mkrun(scratch, "changed",
                  "--spectra 3000 --channels 20 --seed 7 --poisson 100000 --reference-run "
                  "ref.RAW --reference-factor 3.7 --reference-spectra 20:1.2"),
            0);
  ASSERT_EQ(run_in(scratch, "",
                   shell_quoted(BANTRISK_BINARY) +
                       " check -q --run-file changed/ref.RAW --spectra-file "
                       "changed/spectra_3000.dat --save-integrals ref.ans --results ref.dat"),
            0);
  const std::set<int> changed =
      planted_spectra(scratch.path() / "changed/planted.txt", "reference_spectrum_at");
  ASSERT_EQ(changed.size(), 20U);
  const struct {
    const char *dir;
    const char *reference;
    std::set<int> varying;
  } cases[] = {
      {"same", "same/ref.RAW", {}},
      {"changed", "changed/ref.RAW", changed},
      {"changed", "ref.ans", changed},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.reference);
    const std::string options = std::string("--reference ") + c.reference;
    EXPECT_EQ(check(scratch, c.dir,
                    options + " --fail-on varying,newly-dead --mask m.msk --mask-spectra varying "
                              "--summary s.json"),
              c.varying.empty() ? 0 : 3)
        << read_file(scratch.path() / ".errors");
    EXPECT_EQ(oracle(scratch, c.dir, "s.json", options + " --mask-spectra varying"), "checked 9\n");
    EXPECT_EQ(schema_faults(scratch.path() / "s.json"), "");
    const nlohmann::json s = json_of(scratch.path() / "s.json");
    EXPECT_EQ(spectra_of(s["reference"]["varying"]), c.varying);
    EXPECT_EQ(spectra_of(s["mask"]["masked_spectra"]), c.varying);
    EXPECT_EQ(s["reference"]["newly_dead"].size(), 0U);
    EXPECT_EQ(s["verdict"]["failed"], !c.varying.empty());
    EXPECT_EQ(s["verdict"]["varying"], c.varying.size());
    // The results file's section: its summary line, and a line for every varying spectrum.
    const std::string results = read_file(scratch.path() / "bantrisk.dat");
    EXPECT_NE(results.find("\n Varying spectra = " + std::to_string(c.varying.size()) +
                           "  Newly dead spectra = 0  Recovered spectra = 0\n"),
              std::string::npos);
    std::set<int> varies;
    std::istringstream lines(results);
    for (std::string line; std::getline(lines, line);)
      if (line.starts_with(" Spectrum ") &&
          line.find(" varies with ratio =   0.8") != std::string::npos)
        varies.insert(std::stoi(line.substr(10, 5)));
    EXPECT_EQ(varies, c.varying);
  }
  // A reference of another size ends the check with one line.
  ASSERT_EQ(mkrun(scratch, "small", "--spectra 100 --channels 5 --seed 1"), 0);
  EXPECT_EQ(check(scratch, "same", "--reference small/KRV01234.RAW"), 1);
  EXPECT_EQ(read_file(scratch.path() / ".errors"),
            "bantrisk: --reference: " + (scratch.path() / "small/KRV01234.RAW").string() +
                " has 100 spectra, the run 3000\n");
}

// Bad inputs of the further checks end the check (status 1) naming the option, or are refused
// on the command line (status 2).
TEST(FurtherChecks, BadInputsAreRefusedWithOneLine) {
  ScratchDir scratch;
  ASSERT_EQ(mkrun(scratch, "run", "--spectra 300 --channels 5 --seed 1"), 0);
  write_file("bad.msk", "# mask\n12 13-x\n");
  write_file("bad.ans", " 3\n 1 5\n 2\n");
  const struct {
    std::string options;
    int status;
    std::string error;
  } cases[] = {
      {"--hard-mask bad.msk", 1, "bantrisk: --hard-mask: bad.msk: line 2, column "},
      {"--hard-mask nothing.msk", 1, "bantrisk: --hard-mask: cannot read nothing.msk: "},
      {"--reference bad.ans", 1, "bantrisk: --reference: bad.ans is neither a run file nor"},
      {"--reference /dev/null", 1, "bantrisk: --reference: cannot read /dev/null"},
      {"--reference ref.ans --results ref.ans", 2, "replace the input file of --reference"},
      {"--statistic middle", 2, "--statistic: middle is not one of mean, median"},
      {"--significance -1", 2, "--significance: -1 is below 0"},
      {"--reference bad.ans --variation 1", 2, "--variation: 1 is not above 1"},
      {"--variation 1.2", 2, "--variation needs --reference"},
      {"--fail-on dead,any", 2, "--fail-on: dead is not one of"},
      {"--mask m --mask-spectra dead,,modules", 2, "--mask-spectra: '' is not one of"},
      {"--tof-range 30000:40000", 1,
       "bantrisk: --tof-range: no time channel of the run lies within 30000 to 40000; its "
       "channels span "},
      {"--tof-range 12:3", 2, "--tof-range: 12:3 begins after it ends"},
  };
  write_file("ref.ans", " 300\n");
  for (const auto &c : cases) {
    SCOPED_TRACE(c.options);
    EXPECT_EQ(check(scratch, "run", c.options), c.status);
    EXPECT_NE(read_file(scratch.path() / ".errors").find(c.error), std::string::npos)
        << read_file(scratch.path() / ".errors");
    EXPECT_FALSE(fs::exists(scratch.path() / "bantrisk.dat"));
  }
}

} // namespace
