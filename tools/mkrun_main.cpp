// bantrisk-mkrun: writes a synthetic NeXus run of the 98-module instrument with planted faults,
// its spectra file and spectrum file list, and a summary of what was planted.
#include "mkrun_plan.hpp"

#include "lib/detector_numbering.hpp"
#include "lib/output_file.hpp"

#include "dataaccess/nexus_writer.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace {

using namespace bantrisk::mkrun;

const char *const usage = R"(Usage: bantrisk-mkrun --spectra N --channels C [options]

Writes a synthetic run of the 98-module instrument into a folder:
  <run file>         NeXus (HDF5) run: int32 counts [N, C] in /raw_data_1/detector_1/counts,
                     float32 time-of-flight boundaries (C + 1) beside them
  <spectra file>     detector code and spectrum number of every spectrum
  specfile.dat       spectrum file list naming the spectra file for N spectra
  <summary file>     what was planted: empty spectra, dead modules, low/high modules and spectra

Without --poisson the run is the standard one: counts spread smoothly over the channels, banks
and modules at slightly different levels, and the same faults whatever the seed (a dead module,
a module with nine dead spectra, a low and a high module, a low and a high spectrum in every
bank, a few dead spectra), placed so that the checks find them exactly as planted.

Options:
  --spectra N          number of spectra, 1 to 20000 (required)
  --channels C         number of time channels, 1 to 9999 (required)
  --seed S             seed of the run's variations (default 1)
  --dir DIR            folder of the files (default: current folder; created if missing)
  --run-file NAME      name of the run file (default KRV01234.RAW)
  --spectra-file NAME  name of the spectra file (default spectra_N.dat)
  --summary NAME       name of the summary file (default planted.txt)
  --integrals NAME     also write every spectrum's total counts, one "spectrum total" a line
  --mean-counts M      average counts of a spectrum (default 10000)
  --chunk-spectra K    spectra per chunk of the counts (default: chunks of about 256 KiB)
  --gzip [LEVEL]       compress the counts (deflate, level 1 to 9, default 4)
  --help               this text

A Poisson run (no fault but those asked for):
  --poisson M          every spectrum's counts are Poisson draws, channel by channel (the
                       channel's share of the total times M), so that its total is a Poisson
                       draw of mean M, 0 < M <= 1000000; the draws come from SplitMix64 streams
                       of the seed, the same on every machine (not with --mean-counts)
  --modules-at N:F     N modules, chosen from the seed, at F times M (0: dead), 0 <= F <= 1000;
                       repeatable
  --spectra-at N:F     N spectra of other modules, chosen from the seed, one module after
                       another, at F times M (0: dead); repeatable
  --spectra-banks LIST the bank slots (1 to 8, separated by commas; 8 is bank 0/8) whose
                       modules the spectra of --spectra-at and --reference-spectra come from
                       (default: every bank)
The planted modules and spectra are listed as "module_at LABEL F" and "spectrum_at S LABEL F".

A reference run of the same detector before the faults (the same spectra file):
  --reference-run NAME        write it as NAME
  --reference-integrals NAME  also write its totals, one "spectrum total" a line
  --reference-factor F        every spectrum's expected counts times F (default 1)
  --reference-spectra N:F     N spectra outside the faults, chosen from the seed, at F times
                              the reference factor; repeatable
Its counts are drawn afresh in a Poisson run (a second measurement), rounded from the expected
counts otherwise. `bantrisk check --run-file NAME --save-integrals FILE` turns it into an
integrals file.
)";

struct Options {
  int spectra = 0;
  int channels = 0;
  std::uint64_t seed = 1;
  std::filesystem::path dir = ".";
  std::string run_file = "KRV01234.RAW";
  std::string spectra_file;
  std::string summary_file = "planted.txt";
  std::string integrals_file;
  std::optional<double> mean_counts;
  std::optional<double> poisson;
  std::vector<Planting> modules_at, spectra_at;
  std::set<int> spectra_banks;
  std::string reference_run, reference_integrals;
  std::optional<double> reference_factor;
  std::vector<Planting> reference_spectra;
  int chunk_spectra = 0;
  int gzip = 0;
};

const std::string specfile_name = "specfile.dat";

struct UsageError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

template <typename T> T number(std::string_view option, std::string_view text) {
  T value{};
  const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) {
    throw UsageError("bad value '" + std::string(text) + "' for " + std::string(option));
  }
  return value;
}

// N:F, a count and a factor.
Planting planting(std::string_view option, std::string_view text) {
  const std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) {
    throw UsageError("bad value '" + std::string(text) + "' for " + std::string(option) +
                     ": N:F expected");
  }
  Planting p;
  p.count = number<int>(option, text.substr(0, colon));
  p.factor = number<double>(option, text.substr(colon + 1));
  if (p.count < 1 || !(p.factor >= 0.0 && p.factor <= 1000.0)) {
    throw UsageError(std::string(option) + " takes N:F with N of 1 or more and F of 0 to 1000");
  }
  return p;
}

Options parse(int argc, char **argv) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    auto value = [&]() -> std::string_view {
      if (i + 1 >= argc) {
        throw UsageError("missing value for " + std::string(arg));
      }
      return argv[++i];
    };
    if (arg == "--help" || arg == "-h") {
      std::cout << usage;
      std::exit(0);
    } else if (arg == "--spectra") {
      o.spectra = number<int>(arg, value());
    } else if (arg == "--channels") {
      o.channels = number<int>(arg, value());
    } else if (arg == "--seed") {
      o.seed = number<std::uint64_t>(arg, value());
    } else if (arg == "--dir") {
      o.dir = std::string(value());
    } else if (arg == "--run-file") {
      o.run_file = value();
    } else if (arg == "--spectra-file") {
      o.spectra_file = value();
    } else if (arg == "--summary") {
      o.summary_file = value();
    } else if (arg == "--integrals") {
      o.integrals_file = value();
    } else if (arg == "--mean-counts") {
      o.mean_counts = number<double>(arg, value());
    } else if (arg == "--poisson") {
      o.poisson = number<double>(arg, value());
    } else if (arg == "--modules-at") {
      o.modules_at.push_back(planting(arg, value()));
    } else if (arg == "--spectra-at") {
      o.spectra_at.push_back(planting(arg, value()));
    } else if (arg == "--spectra-banks") {
      const std::string_view list = value();
      for (std::size_t start = 0; start <= list.size();) {
        const std::size_t comma = std::min(list.find(',', start), list.size());
        const int slot = number<int>(arg, list.substr(start, comma - start));
        if (slot < 1 || slot > 8) {
          throw UsageError("--spectra-banks takes bank slots 1 to 8, separated by commas");
        }
        o.spectra_banks.insert(slot);
        start = comma + 1;
      }
    } else if (arg == "--reference-run") {
      o.reference_run = value();
    } else if (arg == "--reference-integrals") {
      o.reference_integrals = value();
    } else if (arg == "--reference-factor") {
      o.reference_factor = number<double>(arg, value());
    } else if (arg == "--reference-spectra") {
      o.reference_spectra.push_back(planting(arg, value()));
    } else if (arg == "--chunk-spectra") {
      o.chunk_spectra = number<int>(arg, value());
    } else if (arg == "--gzip") {
      o.gzip = 4;
      if (i + 1 < argc && argv[i + 1][0] != '-') {
        o.gzip = number<int>(arg, value());
      }
      if (o.gzip < 1 || o.gzip > 9) {
        throw UsageError("--gzip level must be 1 to 9");
      }
    } else {
      throw UsageError("unknown option " + std::string(arg));
    }
  }
  if (o.spectra == 0 || o.channels == 0) {
    throw UsageError("--spectra and --channels are required");
  }
  if (o.spectra_file.empty()) {
    o.spectra_file = "spectra_" + std::to_string(o.spectra) + ".dat";
  }
  if (o.chunk_spectra < 0) {
    throw UsageError("--chunk-spectra must be positive");
  }
  if (o.poisson && o.mean_counts) {
    throw UsageError("--poisson and --mean-counts exclude each other");
  }
  if (!o.poisson && (!o.modules_at.empty() || !o.spectra_at.empty())) {
    throw UsageError("--modules-at and --spectra-at need --poisson");
  }
  const bool reference = !o.reference_run.empty() || !o.reference_integrals.empty();
  if (!reference && (o.reference_factor || !o.reference_spectra.empty())) {
    throw UsageError("--reference-factor and --reference-spectra need --reference-run or "
                     "--reference-integrals");
  }
  // No output may overwrite another.
  std::set<std::string> names;
  for (const std::string *name : std::initializer_list<const std::string *>{
           &o.run_file, &o.reference_run, &o.spectra_file, &specfile_name, &o.summary_file,
           &o.integrals_file, &o.reference_integrals}) {
    if (!name->empty() && !names.insert(*name).second) {
      throw UsageError("'" + *name + "' is named for two of the files written");
    }
  }
  return o;
}

// HDF5 identifiers closed on scope exit; every call is checked.
// Boundaries spaced evenly in logarithm (constant dt/t), from 1000 to 20000 microseconds: the
// channels widen along the run, as on the instrument.
std::vector<float> boundaries(int channels) {
  std::vector<float> b(static_cast<std::size_t>(channels) + 1);
  for (int i = 0; i <= channels; ++i) {
    b[i] = static_cast<float>(1000.0 * std::pow(20.0, static_cast<double>(i) / channels));
  }
  return b;
}

// Writes the run, or with `reference` the reference run, through the run-file layer's writer.
void write_run(const Options &o, const Plan &plan, const std::filesystem::path &file,
               bool reference) {
  bantrisk::dataaccess::RunFileLayout layout;
  layout.spectra = o.spectra;
  layout.channels = o.channels;
  layout.boundaries = boundaries(o.channels);
  layout.chunk_spectra = o.chunk_spectra;
  layout.gzip = o.gzip;
  const ChannelCounts counts(plan);
  const auto c = static_cast<std::size_t>(o.channels);
  bantrisk::dataaccess::write_run_file(
      file.string(), layout, [&](std::int32_t first, std::int32_t rows, std::int32_t *block) {
        for (std::int32_t r = 0; r < rows; ++r) {
          std::int32_t *row = block + static_cast<std::size_t>(r) * c;
          reference ? counts.reference(first + r + 1, row) : counts.run(first + r + 1, row);
        }
      });
}

// A text file, through the program's one writer of output files: put in place only whole.
void write_text(const std::filesystem::path &file, const std::string &text) {
  int error = 0;
  const auto out = bantrisk::ReplacingFile::create(file.string(), error);
  if (!out) {
    throw std::runtime_error("cannot create " + file.string() + " (" + std::strerror(error) + ")");
  }
  out->write(text);
  if (!out->commit()) {
    throw std::runtime_error("cannot write " + file.string() + " (" + std::strerror(out->error()) +
                             ")");
  }
}

std::string spectra_file_text(const Plan &plan) {
  std::string text =
      "Spectra file of a synthetic run (bantrisk-mkrun, seed " + std::to_string(plan.seed) + ")\n";
  text += std::to_string(plan.entries.size()) + "   entries\n";
  text += "  detector  spectrum\n";
  std::array<char, 32> line{};
  for (const Entry &e : plan.entries) {
    std::snprintf(line.data(), line.size(), "%10d %9d\n", e.code, e.spectrum);
    text += line.data();
  }
  return text;
}

// Every spectrum's total, one "spectrum total" a line.
std::string totals_text(const std::vector<std::int32_t> &totals) {
  std::string lines;
  for (std::size_t s = 1; s <= totals.size(); ++s) {
    lines += std::to_string(s) + " " + std::to_string(totals[s - 1]) + "\n";
  }
  return lines;
}

PlanOptions plan_options(const Options &o) {
  PlanOptions p;
  p.spectra = o.spectra;
  p.channels = o.channels;
  p.seed = o.seed;
  p.mean_counts = o.mean_counts.value_or(p.mean_counts);
  p.poisson = o.poisson;
  p.modules_at = o.modules_at;
  p.spectra_at = o.spectra_at;
  p.spectra_banks = o.spectra_banks;
  p.reference = !o.reference_run.empty() || !o.reference_integrals.empty();
  p.reference_factor = o.reference_factor.value_or(1.0);
  p.reference_spectra = o.reference_spectra;
  return p;
}

} // namespace

int main(int argc, char **argv) {
  // Beyond a file-size limit a write fails (and is reported with its file) instead of ending
  // the program.
  std::signal(SIGXFSZ, SIG_IGN);
  try {
    const Options o = parse(argc, argv);
    const Plan plan = make_plan(plan_options(o));
    std::filesystem::create_directories(o.dir);
    write_run(o, plan, o.dir / o.run_file, false);
    if (!o.reference_run.empty()) {
      write_run(o, plan, o.dir / o.reference_run, true);
    }
    write_text(o.dir / o.spectra_file, spectra_file_text(plan));
    write_text(o.dir / specfile_name,
               "1\n" + std::to_string(o.spectra) + " " + o.spectra_file + "\n");
    const std::string text = summary(plan, o.run_file, o.reference_run);
    write_text(o.dir / o.summary_file, text);
    if (!o.integrals_file.empty()) {
      write_text(o.dir / o.integrals_file, totals_text(plan.totals));
    }
    if (!o.reference_integrals.empty()) {
      write_text(o.dir / o.reference_integrals, totals_text(plan.reference_totals));
    }
    std::cout << text;
    return 0;
  } catch (const UsageError &e) {
    std::cerr << "bantrisk-mkrun: " << e.what() << "\n\n" << usage;
    return 2;
  } catch (const std::exception &e) {
    std::cerr << "bantrisk-mkrun: " << e.what() << "\n";
    return 1;
  }
}
